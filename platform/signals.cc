// The signal policy of a run: held, let through, and the dispositions set at
// its start, which the commands it starts never inherit (spawn.cc).
#include "platform/signals.h"

#include <cerrno>

#include "platform/error.h"

namespace pw {
namespace {

constexpr int kEndingSignals[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM};

// Reports an I/O condition as the failed call's error instead of ending the
// run. A handler, unlike SIG_IGN, is reset to the default by exec.
void report_as_error(int /*signal*/) {}

void set_disposition(int signal, void (*handler)(int), int flags) {
  struct sigaction action {};
  ::sigemptyset(&action.sa_mask);
  action.sa_handler = handler;
  action.sa_flags = flags;
  if (::sigaction(signal, &action, nullptr) != 0) {
    const int err = errno;
    throw_errno(err, "sigaction " + std::to_string(signal));
  }
}

}  // namespace

RunSignals::RunSignals() {
  sigset_t ending;
  ::sigemptyset(&ending);
  for (const int signal : kEndingSignals) ::sigaddset(&ending, signal);
  if (::sigprocmask(SIG_BLOCK, &ending, &old_mask_) != 0) {
    const int err = errno;
    throw_errno(err, "sigprocmask");
  }
  set_disposition(SIGCHLD, SIG_DFL, 0);
  for (const int signal : {SIGPIPE, SIGXFSZ}) set_disposition(signal, report_as_error, SA_RESTART);
}

void RunSignals::release() noexcept {
  // One that came meanwhile is delivered now, with the disposition the run
  // started with: the default ends the run by it, an ignored one is dropped.
  // A mask that the kernel gave cannot be refused.
  (void)::sigprocmask(SIG_SETMASK, &old_mask_, nullptr);
}

}  // namespace pw
