// Os is the one interface through which the program reaches the machine: the
// process table, signals, the shell, the clock, sleeping, the PID file, standard
// output, the system's SQLite library and the appliance's helper library. The
// real implementation is real_os(); tests use FakeOs.
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
struct SqliteLibrary;

// The process a call was about has ended, or never existed: raised only where
// the kernel says so of it (ESRCH, or ENOENT from its own /proc directory).
class ProcessEnded : public std::system_error {
 public:
  explicit ProcessEnded(const std::string& what);
};

// A signal was asked for through a handle opened on a thread's ID, which is no
// process of its own (its looks say own_pid = false): kill(2) would reach the
// thread's whole process, so nothing is sent.
class NotAProcess : public std::system_error {
 public:
  explicit NotAProcess(const std::string& what);
};

// True when the error says that access was refused (EACCES, EPERM).
bool access_refused(const std::system_error& e);

// What a bounded read of a small file found; no content when the file holds
// more than the bound, cannot be read at once, or is not stored data.
struct SmallFile {
  bool exists = false;
  std::optional<std::string> content;
  bool operator==(const SmallFile&) const = default;
};

// What one look at a process reads besides its executable path, which every
// look reads; parts combine with |.
enum class Look : unsigned {
  kPath = 0,         // the executable path alone
  kOwner = 1,        // the owner's name
  kCommandLine = 2,  // the command line
  kParent = 4,       // the parent's PID
  kListing = kOwner | kCommandLine | kParent,
};
constexpr Look operator|(Look a, Look b) {
  return static_cast<Look>(static_cast<unsigned>(a) | static_cast<unsigned>(b));
}
// Whether LOOK reads any of PARTS.
constexpr bool reads(Look look, Look parts) {
  return (static_cast<unsigned>(look) & static_cast<unsigned>(parts)) != 0;
}

// What a glance by PID saw: the executable path ("" for a process without
// one), or the error that kept it from being read.
struct Glance {
  std::string exe;
  std::optional<std::system_error> exe_error;
};

// What one look through a handle saw of its process.
struct Snapshot {
  Pid pid = 0;
  bool own_pid = true;  // false for a thread's ID
  // false when its root directory is another than the program's: a process of
  // another system, in a chroot or a container beside this one. Read with any
  // look of a process that has a path, or whose path cannot be read.
  bool own_root = true;
  // The program's path; "" for a process without one (kernel threads, zombies).
  std::string exe;
  std::optional<std::system_error> exe_error;  // why the path could not be read
  // The real owner's name (the decimal uid for a user the password database
  // does not know); with Look::kOwner.
  std::optional<std::string> owner;
  Pid parent = 0;  // with Look::kParent
  // With Look::kCommandLine; empty for a process without memory of its own
  // (kernel threads, zombies).
  std::vector<std::string> command_line;
};

// A handle on one process, opened by PID: it reports and signals the process
// opened, never a later one reusing the PID. Without pidfds it holds the PID,
// and a signal goes by PID right after the caller's last look.
class Process {
 public:
  virtual ~Process() = default;
  virtual Pid pid() const = 0;
  // Reads what LOOK asks for once, then confirms that the opened process lives;
  // throws ProcessEnded when it does not.
  virtual Snapshot look(Look look) = 0;
  // CPU time the process has used so far (user and system), in seconds.
  virtual double cpu_seconds() = 0;
  // Resident memory as a percentage of the machine's physical memory.
  virtual double memory_percent() = 0;
  // Throw ProcessEnded when the opened process has ended, and NotAProcess on a
  // handle opened on a thread's ID.
  virtual void terminate() = 0;  // SIGTERM
  virtual void kill() = 0;       // SIGKILL
};

class Os {
 public:
  virtual ~Os() = default;

  // Every process now in the table, in the table's order.
  virtual std::vector<Pid> list_processes() = 0;
  // The executable path of a listed process, read by PID without a handle so
  // that a walk opens handles only where a path may qualify; never enough to
  // act on. Throws ProcessEnded when the process has ended.
  virtual Glance glance(Pid pid) = 0;
  // Throws ProcessEnded when no process has that PID.
  virtual std::unique_ptr<Process> open_process(Pid pid) = 0;

  // Runs one command line through /bin/sh and waits for it; its status is
  // ignored. Throws when the shell cannot be started at all.
  virtual void shell(const std::string& command_line) = 0;
  // Whether systemd runs the machine as its service manager.
  virtual bool booted_with_systemd() = 0;
  // Pauses; the lines written so far reach standard output first.
  virtual void sleep(int seconds) = 0;
  // Seconds since the Unix epoch, fractions dropped.
  virtual std::int64_t now() = 0;
  // Seconds on a clock that only moves forward, for measuring intervals.
  virtual double monotonic_seconds() = 0;

  // A small file, read without blocking and never past LIMIT bytes. Links are
  // followed as open(2) follows them, but not /proc's magic links; only a
  // regular file on a local disk or in-memory file system is read. A link loop
  // counts as missing. Throws when it exists but cannot be opened, or is a
  // directory.
  virtual SmallFile read_small_file(const std::string& path, std::size_t limit) = 0;
  // Removes the directory entry PATH, a link itself rather than what it leads
  // to. A file that is not there is no failure; any other failure throws.
  virtual void remove_file(const std::string& path) = 0;

  // The helper library's operations.
  virtual void file_put_contents(const std::string& path, const std::string& data) = 0;
  virtual long long GET_INFO_INT(const std::string& key) = 0;

  // A journal event is being written: the path of the SQLite event database
  // that takes it. What this throws is a failure of the journal.
  virtual std::string begin_journal_event() = 0;
  // The SQLite library, loaded on first use; throws when it cannot be.
  virtual const SqliteLibrary& sqlite() = 0;

  // Writes one line, and the newline after it, to standard output. A failed
  // write does not throw: the run goes on, and flush_output tells.
  virtual void out(const std::string& line) = 0;
  // Sends what out() holds to standard output. Returns the error number of the
  // first write to standard output that failed in this run, or 0.
  virtual int flush_output() = 0;
};

// The operating system's Os. Loads the helper library; throws when it cannot.
std::unique_ptr<Os> real_os();

}  // namespace pw
