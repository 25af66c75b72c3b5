#include "proxy/stop.h"

#include "platform/text.h"
#include "proxy/discovery.h"
#include "proxy/fixed.h"
#include "proxy/sweep.h"
#include "report/journal.h"

namespace pw {
namespace {

// Whether the forced stop may signal the opened process: it runs the proxy's
// program as the proxy user, or it is the process that the PID file names and
// that discovery trusts. Every answer is confirmed through the handle.
bool may_force_stop(Os& os, Process& process) {
  std::string exe;
  try {
    exe = process.exe_path();
  } catch (const std::system_error& e) {
    if (!access_refused(e)) throw;
    // A path that may not be read is trusted for the named process, as
    // discovery trusts it; another user's process does not qualify, and one of
    // the proxy user's that cannot be examined ends the run, as in the scan.
    if (pid_file_pid(os) == process.pid()) {
      (void)process.user_name();  // confirms that the opened process lives
      return true;
    }
    if (process.user_name() != kProxyUser) return false;
    throw;
  }
  // The PID file is read only when the owner does not settle it.
  if (exe.find(kSquidBinary) == std::string::npos) return false;
  return process.user_name() == kProxyUser || pid_file_pid(os) == process.pid();
}

// SIGTERM and at once SIGKILL to PID, once its handle shows that it may be
// signalled; ANNOUNCE prints its line first. A process that has already ended
// by then, or no longer qualifies, is what the forced stop wants anyway.
void force_stop(Os& os, Pid pid, bool announce) {
  try {
    const auto process = os.open_process(pid);
    if (!may_force_stop(os, *process)) return;
    if (announce) os.out(fill(kKillingLine, {std::to_string(pid)}));
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
  force_stop(os, *last_seen, false);
  // Squid's kill command reaches its master alone: every other process that
  // could be taken for the main one (the kids of several workers) goes too.
  std::vector<Pid> others;
  scan_proxy_processes(os, [&](Pid pid) {
    if (pid != *last_seen) others.push_back(pid);
    return true;
  });
  for (const Pid other : others) force_stop(os, other, true);
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
