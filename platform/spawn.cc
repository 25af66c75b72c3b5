// Starting /bin/sh for the fixed commands, and the signal dispositions that a
// run sets, holds and hands on to them.
#include "platform/spawn.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>

#include "platform/error.h"
#include "platform/fixed.h"

extern char** environ;

namespace pw {
namespace {

constexpr int kEndingSignals[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM};

// Reports an I/O condition as the failed call's error instead of ending the
// run. A handler, unlike SIG_IGN, is reset to the default by exec.
void report_as_error(int /*signal*/) {}

}  // namespace

void set_run_dispositions() {
  struct sigaction action {};
  ::sigemptyset(&action.sa_mask);
  action.sa_handler = SIG_DFL;
  ::sigaction(SIGCHLD, &action, nullptr);
  action.sa_handler = report_as_error;
  action.sa_flags = SA_RESTART;
  for (const int signal : {SIGPIPE, SIGXFSZ}) ::sigaction(signal, &action, nullptr);
}

unsigned hold_ending_signals() {
  sigset_t ending, before;
  ::sigemptyset(&ending);
  for (const int signal : kEndingSignals) ::sigaddset(&ending, signal);
  ::sigprocmask(SIG_BLOCK, &ending, &before);
  unsigned held = 0;
  for (const int signal : kEndingSignals) {
    if (::sigismember(&before, signal) == 0) held |= 1U << signal;
  }
  return held;
}

void release_ending_signals(unsigned held) {
  sigset_t release;
  ::sigemptyset(&release);
  for (const int signal : kEndingSignals) {
    if ((held & 1U << signal) != 0) ::sigaddset(&release, signal);
  }
  // One that came meanwhile is delivered now, with the disposition the run
  // started with: the default ends the run by it, an ignored one is dropped.
  ::sigprocmask(SIG_UNBLOCK, &release, nullptr);
}

void run_shell(const std::string& command_line) {
  const char* argv[] = {"sh", "-c", command_line.c_str(), nullptr};
  // Whatever the caller ignored or the run holds, the commands start with the
  // default disposition of every signal and none blocked.
  sigset_t none, defaults;
  ::sigemptyset(&none);
  ::sigfillset(&defaults);
  posix_spawnattr_t attributes;
  ::posix_spawnattr_init(&attributes);
  ::posix_spawnattr_setsigmask(&attributes, &none);
  ::posix_spawnattr_setsigdefault(&attributes, &defaults);
  ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  pid_t child = 0;
  // Started here rather than by system(), which reports a shell that could not
  // be started as a command that was not found.
  const int err = ::posix_spawn(&child, kShell, nullptr, &attributes, const_cast<char* const*>(argv), environ);
  ::posix_spawnattr_destroy(&attributes);
  if (err != 0) throw_errno(err, std::string("start ") + kShell + " for: " + command_line);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0) {
    const int wait_error = errno;
    if (wait_error != EINTR) throw_errno(wait_error, std::string("wait for ") + kShell + " " + std::to_string(child));
  }
}

}  // namespace pw
