// The signals of one run: the dispositions it sets at its start, and the
// signals that end a run, held until its action is done.
#pragma once

#include <signal.h>

namespace pw {

class RunSignals {
 public:
  // Holds SIGHUP, SIGINT, SIGQUIT and SIGTERM, saving the mask the run started
  // with; sets SIGCHLD to its default whatever the caller ignored, and makes
  // SIGPIPE and SIGXFSZ fail the write that meets them instead of ending the
  // run. Throws when the kernel refuses any of it.
  RunSignals();
  RunSignals(const RunSignals&) = delete;
  RunSignals& operator=(const RunSignals&) = delete;

  // Restores the mask the run started with: a held signal that came meanwhile
  // ends the process now, by that signal, unless the caller ignored it; one
  // the caller had blocked stays blocked.
  void release() noexcept;

 private:
  sigset_t old_mask_;
};

}  // namespace pw
