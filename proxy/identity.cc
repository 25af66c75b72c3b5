#include "proxy/identity.h"

#include "proxy/fixed.h"

namespace pw {

namespace {

bool runs_proxy(const std::string& exe) { return exe.find(kSquidBinary) != std::string::npos; }

}  // namespace

Identity verdict_of(const Snapshot& seen, Pid candidate) {
  // Another system's processes are never the appliance's, even under the same
  // uid or PID.
  if (!seen.own_pid || !seen.own_root) return Identity::kNeither;
  const bool named = candidate > 0 && seen.pid == candidate;
  const bool proxy_user = seen.owner == kProxyUser;
  if (seen.exe_error) {
    // A path that may not be read is trusted for the process the PID file
    // names; one of the proxy user's that cannot be examined must not pass
    // unseen.
    if (named && access_refused(*seen.exe_error)) return Identity::kMain;
    if (named || proxy_user) throw *seen.exe_error;
    return Identity::kNeither;
  }
  if (named && runs_proxy(seen.exe)) return Identity::kMain;
  if (seen.exe.empty() || !proxy_user) return Identity::kNeither;
  return runs_proxy(seen.exe) ? Identity::kMain : Identity::kProxyUser;
}

std::optional<Snapshot> qualifying_look(Os& os, Pid pid, Identity least, Pid candidate, Look look) {
  try {
    // The cheap look by PID passes over what cannot qualify: most processes run
    // another program, or none.
    const Glance glance = os.glance(pid);
    if (!glance.exe_error && (glance.exe.empty() || (least == Identity::kMain && !runs_proxy(glance.exe)))) {
      return std::nullopt;
    }
    const Snapshot seen = os.open_process(pid)->look(look);
    if (verdict_of(seen, candidate) < least) return std::nullopt;
    return seen;
  } catch (const ProcessEnded&) {
    return std::nullopt;  // ended while it was examined
  }
}

void walk_processes(Os& os, Identity least, Pid candidate, Look look,
                    const std::function<bool(const Snapshot&)>& visit) {
  for (const Pid pid : os.list_processes()) {
    const auto seen = qualifying_look(os, pid, least, candidate, look);
    if (seen && !visit(*seen)) return;
  }
}

}  // namespace pw
