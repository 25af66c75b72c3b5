// The glance by PID, and the handle on one process with the snapshot taken
// through it: /proc is read by PID, then the pidfd confirms that the process
// read is the one opened.
#include "platform/process.h"

#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#include "platform/error.h"

namespace pw {

Glance read_glance(Pid pid) {
  Glance seen;
  try {
    seen.exe = read_exe_link(pid);
  } catch (const ProcessEnded&) {
    throw;
  } catch (const std::system_error& e) {
    seen.exe_error = e;
  }
  return seen;
}

namespace {

// What LOOK reads of PID by PID, unconfirmed; OWN_PID when PID is known to be
// its thread group's ID. Owners are named through NAMES. A process without a
// program is read as any other: whether it counts is for the caller to judge.
Snapshot read_snapshot(Pid pid, Look look, UserNames& names, bool own_pid) {
  Glance path = read_glance(pid);
  Snapshot seen;
  seen.pid = pid;
  seen.own_pid = own_pid;
  seen.exe = std::move(path.exe);
  seen.exe_error = std::move(path.exe_error);
  // A process without a program never counts, whatever its root.
  if (!seen.exe.empty() || seen.exe_error) seen.own_root = shares_root(pid);
  // The status names the owner and the parent, and without a pidfd tells a
  // thread's ID apart.
  if (!own_pid || reads(look, Look::kOwner | Look::kParent)) {
    const ProcStatus status = read_status(pid);
    seen.own_pid = own_pid || status.tgid == pid;
    if (reads(look, Look::kOwner)) seen.owner = names.of(status.uid);
    if (reads(look, Look::kParent)) seen.parent = status.parent;
  }
  if (reads(look, Look::kCommandLine)) seen.command_line = read_command_line(pid);
  return seen;
}

class RealProcess final : public Process {
 public:
  // FD is the process's pidfd, or -1 where there is none; THREAD says that PID
  // is known to be a thread's ID, which nothing may signal.
  RealProcess(Pid pid, int fd, bool thread, UserNames& names) : pid_(pid), fd_(fd), thread_(thread), names_(names) {}
  ~RealProcess() override {
    if (fd_ >= 0) ::close(fd_);
  }
  RealProcess(const RealProcess&) = delete;
  RealProcess& operator=(const RealProcess&) = delete;

  Pid pid() const override { return pid_; }

  // A pidfd opens only on a thread group's own ID; without one, the status
  // tells a thread's ID apart, and the handle keeps what it told.
  Snapshot look(Look look) override {
    Snapshot seen = confirmed(read_snapshot(pid_, look, names_, fd_ >= 0));
    thread_ = thread_ || !seen.own_pid;
    return seen;
  }
  double cpu_seconds() override { return confirmed(read_cpu_seconds(pid_)); }
  double memory_percent() override { return confirmed(read_memory_percent(pid_)); }
  void terminate() override { send(SIGTERM, "SIGTERM"); }
  void kill() override { send(SIGKILL, "SIGKILL"); }

 private:
  // VALUE, read by PID, once the opened process is shown to live still.
  template <typename T>
  T confirmed(T value) {
    send(0, "signal 0");
    return value;
  }

  // Signal 0 confirms that the process lives; EPERM says that it lives too.
  void send(int signal, const char* name) {
    // kill(2) on a thread's ID would reach its whole process.
    if (thread_ && signal != 0) throw NotAProcess(std::string(name) + " " + std::to_string(pid_) + ": a thread's ID");
    const long sent = fd_ >= 0 ? ::syscall(SYS_pidfd_send_signal, fd_, signal, nullptr, 0) : ::kill(pid_, signal);
    if (sent == 0) return;
    const int err = errno;
    if (signal == 0 && err == EPERM) return;
    const std::string what = std::string(fd_ >= 0 ? "pidfd_send_signal " : "kill ") + name + " " + std::to_string(pid_);
    if (err == ESRCH) throw ProcessEnded(what);
    throw_errno(err, what);
  }

  Pid pid_;
  int fd_;
  bool thread_;
  UserNames& names_;
};

}  // namespace

std::unique_ptr<Process> open_real_process(Pid pid, UserNames& names) {
  const int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  if (fd >= 0) return std::make_unique<RealProcess>(pid, fd, false, names);
  const int err = errno;
  if (err == ESRCH) throw ProcessEnded("pidfd_open " + std::to_string(pid));
  // A kernel without pidfds, a filter that refuses them, or a thread's ID
  // (EINVAL, or ENOENT from newer kernels): the handle holds the PID, and only
  // a PID in use can be opened.
  if (err != ENOSYS && err != EPERM && err != EINVAL && err != ENOENT) {
    throw_errno(err, "pidfd_open " + std::to_string(pid));
  }
  if (::kill(pid, 0) != 0 && errno == ESRCH) throw ProcessEnded("open " + std::to_string(pid));
  return std::make_unique<RealProcess>(pid, -1, err == EINVAL || err == ENOENT, names);
}

}  // namespace pw
