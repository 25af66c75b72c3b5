#include "front/actions.h"

#include "front/fixed.h"
#include "platform/text.h"
#include "proxy/discovery.h"
#include "proxy/start.h"
#include "proxy/stop.h"
#include "proxy/sweep.h"
#include "report/progress.h"

namespace pw {

void start_action(Os& os) {
  if (squid_start(os)) {
    progress(os, kDone, kStartSucceeded);
  } else {
    progress(os, kFailed, kStartFailed);
  }
}

void stop_action(Os& os) {
  if (squid_stop(os)) {
    progress(os, kDone, kStopSucceeded);
  } else {
    progress(os, kFailed, kStopFailed);
  }
}

void ps_action(Os& os) { ps_aux(os); }

void pid_action(Os& os) {
  const auto pid = squid_pid(os);
  os.out(fill(kPidLine, {pid ? std::to_string(*pid) : kNoPid}));
}

void restart_sequence(Os& os) {
  progress_restart(os, kStopPhase, kStopping);
  if (!squid_stop(os)) {
    progress_restart(os, kFailed, kStopFailed);
    return;
  }
  progress_restart(os, kStartPhase, kStarting);
  if (!squid_start(os)) {
    progress_restart(os, kFailed, kStartFailed);
    return;
  }
  progress_restart(os, kDone, kStartSucceeded);
}

}  // namespace pw
