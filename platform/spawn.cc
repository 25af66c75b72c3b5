// Starting /bin/sh for the fixed commands, apart from everything the caller
// and the program hold.
//
// The child is made with fork() and set up by hand rather than by
// posix_spawn(): a signal sent to the caller's process group before the child
// has left it would stay pending in the child, and posix_spawn() has no way to
// drop it, so it would end the command at its first instruction.
#include "platform/spawn.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/close_range.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

#include "platform/error.h"
#include "platform/fixed.h"

extern char** environ;

namespace pw {
namespace {

// Marks every descriptor past standard error to close at exec, at the cost of
// what is open rather than of the limit, which may be a billion. Only system
// calls: the child of fork() runs nothing else, nor allocates.
bool close_all_at_exec() {
  if (::syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_CLOEXEC) == 0) return true;
  // Kernels before 5.11, or a filter that refuses the call: the descriptors
  // that /proc lists, or without it every one up to the limit.
  const int listing = ::open(kOwnDescriptors, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (listing < 0) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return false;
    const rlim_t end = limit.rlim_cur == RLIM_INFINITY ? rlim_t{1} << 20 : limit.rlim_cur;
    for (rlim_t fd = 3; fd < end; ++fd) (void)::fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
    return true;
  }
  // Records as getdents64 lays them out, which dirent64 describes.
  alignas(dirent64) char records[4096];
  long got = 0;
  while ((got = ::syscall(SYS_getdents64, listing, records, sizeof records)) > 0) {
    unsigned short length = 0;
    for (long at = 0; at < got; at += length) {
      std::memcpy(&length, records + at + offsetof(dirent64, d_reclen), sizeof length);
      // "." and ".." are no numbers.
      const char* name = records + at + offsetof(dirent64, d_name);
      int fd = *name == '\0' ? -1 : 0;
      for (; *name != '\0' && fd >= 0; ++name) fd = *name >= '0' && *name <= '9' ? fd * 10 + (*name - '0') : -1;
      if (fd > STDERR_FILENO) (void)::fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
  }
  const int err = errno;
  ::close(listing);
  errno = err;
  return got == 0;
}

// The child's side: becomes the command, or reports on REPORT why it could not
// and ends. Every signal is blocked on entry.
[[noreturn]] void become_shell(char* const argv[], int report) {
  int err = 0;
  // Out of the caller's session and process group: from here on, nothing sent
  // to them reaches this process.
  if (::setsid() < 0) err = errno;
  // What came before is pending and blocked: ignoring a signal drops it, then
  // every disposition goes back to its default.
  sigset_t pending;
  ::sigemptyset(&pending);
  (void)::sigpending(&pending);
  struct sigaction action {};
  ::sigemptyset(&action.sa_mask);
  for (int signal = 1; err == 0 && signal < NSIG; ++signal) {
    if (signal == SIGKILL || signal == SIGSTOP) continue;
    action.sa_handler = SIG_IGN;
    if (::sigismember(&pending, signal) == 1) (void)::sigaction(signal, &action, nullptr);
    action.sa_handler = SIG_DFL;
    // The C library's own signals refuse a disposition; they have none to reset.
    if (::sigaction(signal, &action, nullptr) != 0 && errno != EINVAL) err = errno;
  }
  if (err == 0 && !close_all_at_exec()) err = errno;
  if (err == 0) {
    sigset_t none;
    ::sigemptyset(&none);
    (void)::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execve(kShell, argv, environ);
    err = errno;
  }
  while (::write(report, &err, sizeof err) < 0 && errno == EINTR) {
  }
  ::_exit(127);
}

}  // namespace

void run_shell(const std::string& command_line) {
  const std::string what = std::string("start ") + kShell + " for: " + command_line;
  const char* argv[] = {"sh", "-c", command_line.c_str(), nullptr};
  // Closed by the exec: a child that gets that far says nothing on it.
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) {
    const int err = errno;
    throw_errno(err, what);
  }
  // Every signal waits while the child is made; the caller's mask comes back
  // at once in the program, and the child drops what reached it meanwhile.
  sigset_t all, before;
  ::sigfillset(&all);
  if (::sigprocmask(SIG_SETMASK, &all, &before) != 0) {
    const int err = errno;
    ::close(report[0]);
    ::close(report[1]);
    throw_errno(err, what);
  }
  const pid_t child = ::fork();
  const int fork_error = errno;
  if (child == 0) become_shell(const_cast<char* const*>(argv), report[1]);
  ::sigprocmask(SIG_SETMASK, &before, nullptr);
  ::close(report[1]);
  int start_error = 0;
  ssize_t got = 0;
  while (child > 0 && (got = ::read(report[0], &start_error, sizeof start_error)) < 0 && errno == EINTR) {
  }
  // A report that cannot be read, or only in part, tells nothing of a start.
  if (got < 0) start_error = errno;
  if (got > 0 && got < static_cast<ssize_t>(sizeof start_error)) start_error = EIO;
  ::close(report[0]);
  if (child < 0) throw_errno(fork_error, what);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0) {
    const int wait_error = errno;
    if (wait_error != EINTR) throw_errno(wait_error, std::string("wait for ") + kShell + " " + std::to_string(child));
  }
  if (got != 0) throw_errno(start_error, what);
}

}  // namespace pw
