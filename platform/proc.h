// The process table as /proc shows it, owners' names from the password
// database (proc.cc), and the real Os's process handle on them (process.cc).
// Where a call reads a process's own /proc entry, ProcessEnded tells that the
// process has ended.
#pragma once

#include <sys/types.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/os.h"

namespace pw {

// Every PID listed in /proc. Throws when /proc cannot be read to its end.
std::vector<Pid> list_proc();

// readlink of /proc/PID/exe; "" for a kernel thread or a zombie.
std::string read_exe_link(Pid pid);

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

// What LOOK reads of PID by PID, unconfirmed; OWN_PID when PID is known to be
// its thread group's ID. Owners are named through NAMES.
Snapshot read_snapshot(Pid pid, Look look, UserNames& names, bool own_pid);

// A handle on PID, a pidfd where the kernel offers one, whose looks name
// owners through NAMES. Throws ProcessEnded when no process has that PID.
std::unique_ptr<Process> open_real_process(Pid pid, UserNames& names);

}  // namespace pw
