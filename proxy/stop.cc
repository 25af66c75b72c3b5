#include "proxy/stop.h"

#include "platform/text.h"
#include "proxy/discovery.h"
#include "proxy/fixed.h"
#include "proxy/identity.h"
#include "proxy/sweep.h"
#include "report/journal.h"

namespace pw {
namespace {

// SIGTERM and at once SIGKILL to PID, once a look through its handle shows it
// to be the main process; ANNOUNCE prints its line first. A process that has
// ended by then, or that is no longer the main one, is what the forced stop
// wants anyway.
void force_stop(Os& os, Pid pid, Pid candidate, bool announce) {
  try {
    const auto process = os.open_process(pid);
    if (verdict_of(process->look(Look::kOwner | Look::kCommandLine), candidate) != Identity::kMain) return;
    if (announce) os.out(fill(kKillingLine, {std::to_string(pid)}));
    process->terminate();
    process->kill();
  } catch (const ProcessEnded&) {
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

  // The PID file is read once for the forced stop's whole decision.
  const Pid candidate = pid_file_pid(os);
  const auto last_seen = main_process(os, candidate);
  if (!last_seen) {
    os.out(kTerminatedLine);
    gosts_stop(os);
    return true;
  }
  os.out(fill(kKillingLine, {std::to_string(*last_seen)}));
  // Squid's kill command reaches its master alone: every other process that
  // could be taken for the main one (the kids of several workers) goes too.
  // They are the ones there now; one that a supervisor starts once the main
  // one is killed is a new main process, for the last check to find.
  std::vector<Pid> others;
  walk_processes(os, Identity::kMain, candidate, Look::kOwner, [&](const Snapshot& seen) {
    if (seen.pid != *last_seen) others.push_back(seen.pid);
    return true;
  });
  force_stop(os, *last_seen, candidate, false);
  for (const Pid other : others) force_stop(os, other, candidate, true);
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
