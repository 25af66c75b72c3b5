#include "proxy/identity.h"

#include "proxy/fixed.h"

namespace pw {

Identity identify(const Snapshot& seen, Pid candidate) {
  if (!seen.own_pid) return Identity::kNeither;
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
  const bool runs_proxy = seen.exe.find(kSquidBinary) != std::string::npos;
  if (named && runs_proxy) return Identity::kMain;
  if (seen.exe.empty() || !proxy_user) return Identity::kNeither;
  return runs_proxy ? Identity::kMain : Identity::kProxyUser;
}

std::optional<Snapshot> identified(Os& os, Pid pid, Identity least, Pid candidate, Look look) {
  // The cheap look: most processes run another program, or none.
  if (const auto exe = os.walk_exe_path(pid)) {
    if (exe->empty() || (least == Identity::kMain && exe->find(kSquidBinary) == std::string::npos)) return std::nullopt;
  }
  Snapshot seen;
  try {
    seen = os.open_process(pid)->look(look);
  } catch (const ProcessEnded&) {
    return std::nullopt;  // ended while it was examined
  }
  if (identify(seen, candidate) < least) return std::nullopt;
  return seen;
}

void walk_processes(Os& os, Identity least, Pid candidate, Look look,
                    const std::function<bool(const Snapshot&)>& visit) {
  for (const Pid pid : os.list_processes()) {
    const auto seen = identified(os, pid, least, candidate, look);
    if (seen && !visit(*seen)) return;
  }
}

}  // namespace pw
