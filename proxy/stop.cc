#include "proxy/stop.h"

#include "platform/text.h"
#include "proxy/discovery.h"
#include "proxy/fixed.h"
#include "proxy/sweep.h"
#include "report/journal.h"

namespace pw {
namespace {

// SIGTERM and at once SIGKILL to PID. A process that has already ended by the
// time it is opened or signalled is what the forced stop wants anyway.
void force_stop(Os& os, Pid pid) {
  try {
    const auto process = os.open_process(pid);
    process->terminate();
    process->kill();
  } catch (const std::system_error& e) {
    if (!process_gone(e)) throw;
  }
}

}  // namespace

bool squid_stop(Os& os) {
  const auto start_pid = squid_pid(os);
  if (!start_pid) {
    gosts_stop(os);
    return false;
  }
  const std::string started = std::to_string(*start_pid);
  os.out(fill(kTerminateLine, {started}));
  os.shell(kKillCommand);

  for (int pass = 0; pass < kWaitPasses; ++pass) {
    const auto current = squid_pid(os);
    if (!current) {
      os.out(fill(kSmoothLine, {started}));
      gosts_stop(os);
      return true;
    }
    os.out(fill(kWaitingLine, {std::to_string(*current), std::to_string(pass)}));
    os.sleep(1);
  }

  const auto last_seen = squid_pid(os);
  if (!last_seen) {
    os.out(kTerminatedLine);
    gosts_stop(os);
    return true;
  }
  os.out(fill(kKillingLine, {std::to_string(*last_seen)}));
  force_stop(os, *last_seen);
  os.sleep(1);

  if (!squid_pid(os)) {
    os.out(kTerminatedLine);
    gosts_stop(os);
    squid_admin_mysql(os, kSeverityStopped, kStoppedSubject, "");
    return true;
  }
  squid_admin_mysql(os, kSeverityFailed, kStopFailedSubject, "");
  os.out(kStopFailedLine);
  return false;
}

}  // namespace pw
