// The process table as /proc shows it, and owners' names from the password
// database. Where a call reads a process's own /proc entry, ProcessEnded tells
// that the process has ended.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include "platform/os.h"

namespace pw {

// Every PID listed in /proc. Throws when /proc cannot be read to its end.
std::vector<Pid> list_proc();

// How a file under /proc ends: most are made whole at the open, so that a read
// that does not fill the buffer has reached the end; cmdline is read from the
// process's memory piece by piece, up to a read that returns nothing.
enum class ProcFile { kMadeWhole, kPieceByPiece };

// The whole content of the file at PATH, read as a file of KIND under /proc.
// Throws naming the file; ProcessEnded for ENOENT and ESRCH.
std::string read_proc(const std::string& path, ProcFile kind = ProcFile::kMadeWhole);

// readlink of /proc/PID/exe; "" for a kernel thread or a zombie.
std::string read_exe_link(Pid pid);

// Whether PID's root directory is the program's own. True where it may not be
// examined (another user's process, seen without root): such a caller judges
// processes as if they all shared its root.
bool shares_root(Pid pid);

struct ProcStatus {
  Pid tgid = 0;    // the thread group's ID: PID itself for a process
  Pid parent = 0;  // 0 for a parent outside the PID namespace
  uid_t uid = 0;   // the real owner
};
ProcStatus read_status(Pid pid);
std::vector<std::string> read_command_line(Pid pid);
double read_cpu_seconds(Pid pid);
double read_memory_percent(Pid pid);

// Owners' names from the password database, looked up once per uid in a run.
class UserNames {
 public:
  // The name of UID; its decimal form when the database has no entry for it.
  // Throws, never with an error of a process, when the lookup itself fails.
  std::string of(uid_t uid);

 private:
  std::map<uid_t, std::string> names_;
};

}  // namespace pw
