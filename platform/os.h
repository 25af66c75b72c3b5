// Os is the one interface through which the program reaches the machine: the
// process table, signals, the shell, the clock, sleeping, the PID file, standard
// output and the appliance's helper library. The real implementation is real_os();
// tests use FakeOs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

namespace pw {

using Pid = int;

// What a bounded read of a small file found.
struct SmallFile {
  bool exists = false;
  // nullopt when the file holds more than the bound, or what it holds cannot be
  // read at once (a FIFO without data, a read error).
  std::optional<std::string> content;
};

// A handle on one process, opened by PID. Signals and queries made through it
// reach the process that was opened, never a later process that reuses the PID:
// a query reads its answer by PID and then confirms through the handle that the
// opened process still lives. Where the kernel offers no process handles, the
// handle holds only the PID; a signal then goes by PID right after the caller's
// last query.
class Process {
 public:
  virtual ~Process() = default;
  virtual Pid pid() const = 0;
  // The path of the program the process runs; "" when it has none.
  virtual std::string exe_path() = 0;
  // The name of the process's real owner, as Os::user_name gives it.
  virtual std::string user_name() = 0;
  // CPU time the process has used so far (user and system), in seconds.
  virtual double cpu_seconds() = 0;
  // Resident memory as a percentage of the machine's physical memory.
  virtual double memory_percent() = 0;
  virtual void terminate() = 0;  // SIGTERM
  virtual void kill() = 0;       // SIGKILL
};

class Os {
 public:
  virtual ~Os() = default;

  // Every process now in the table, in the table's order.
  virtual std::vector<Pid> list_processes() = 0;
  virtual bool process_exists(Pid pid) = 0;
  // "" for a process without an executable (kernel threads, zombies).
  virtual std::string exe_path(Pid pid) = 0;
  // The name of the process's real owner; the decimal uid when the password
  // database has no entry for it. Throws when the lookup itself fails.
  virtual std::string user_name(Pid pid) = 0;
  virtual Pid parent_pid(Pid pid) = 0;
  virtual std::vector<std::string> command_line(Pid pid) = 0;
  // Throws a no_such_process error when no process has that PID.
  virtual std::unique_ptr<Process> open_process(Pid pid) = 0;

  // Runs one command line through /bin/sh and waits for it; its status is
  // ignored. Throws when the shell cannot be started at all.
  virtual void shell(const std::string& command_line) = 0;
  // Pauses; the lines written so far reach standard output first.
  virtual void sleep(int seconds) = 0;
  // Seconds since the Unix epoch, fractions dropped.
  virtual std::int64_t now() = 0;
  // Seconds on a clock that only moves forward, for measuring intervals.
  virtual double monotonic_seconds() = 0;

  // A small file, read without blocking and never past LIMIT bytes. Throws when
  // the file exists but cannot be opened, or is a directory.
  virtual SmallFile read_small_file(const std::string& path, std::size_t limit) = 0;

  // The helper library's operations.
  virtual void file_put_contents(const std::string& path, const std::string& data) = 0;
  virtual long long GET_INFO_INT(const std::string& key) = 0;

  // A journal event is being written: the path of the SQLite event database
  // that takes it. What this throws is a failure of the journal.
  virtual std::string begin_journal_event() = 0;

  // Writes one line, and the newline after it, to standard output. A failed
  // write does not throw: the run goes on, and flush_output tells.
  virtual void out(const std::string& line) = 0;
  // Sends what out() holds to standard output. Returns the error number of the
  // first write to standard output that failed in this run, or 0.
  virtual int flush_output() = 0;
};

// True when the error says that the process has ended (or never existed).
bool process_gone(const std::system_error& e);
// True when the error says that access to the process was refused.
bool access_refused(const std::system_error& e);

// The operating system's Os. Loads the helper library; throws when it cannot.
std::unique_ptr<Os> real_os();

}  // namespace pw
