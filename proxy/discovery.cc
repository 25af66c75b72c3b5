#include "proxy/discovery.h"

#include <limits>

#include "platform/decimal.h"
#include "proxy/fixed.h"

namespace pw {
namespace {

// Whether the live process PID runs the proxy's program. A PID that another
// program has taken over is not the proxy; a path we may not read is trusted.
bool runs_proxy(Os& os, Pid pid) {
  try {
    return os.exe_path(pid).find(kSquidBinary) != std::string::npos;
  } catch (const std::system_error& e) {
    if (access_refused(e)) return true;
    if (process_gone(e)) return false;
    throw;
  }
}

}  // namespace

bool owned_by_proxy_user(Os& os, Pid pid) {
  try {
    return os.user_name(pid) == kProxyUser;
  } catch (const std::system_error& e) {
    if (process_gone(e)) return false;
    throw;
  }
}

std::optional<std::string> selectable_exe_path(Os& os, Pid pid) {
  try {
    return os.exe_path(pid);
  } catch (const std::system_error& e) {
    if (process_gone(e)) return std::nullopt;
    // The owner can always be read: a process of another user cannot be
    // selected anyway, and one of the proxy user must not pass unseen.
    if (!owned_by_proxy_user(os, pid)) return std::nullopt;
    throw;
  }
}

void scan_proxy_processes(Os& os, const std::function<bool(Pid)>& visit) {
  for (const Pid pid : os.list_processes()) {
    const auto exe = selectable_exe_path(os, pid);
    if (!exe || exe->find(kSquidBinary) == std::string::npos || !owned_by_proxy_user(os, pid)) continue;
    if (!visit(pid)) return;
  }
}

Pid pid_file_number(std::string_view content) {
  const auto number = parse_decimal(content);
  if (!number || *number <= 0 || *number > std::numeric_limits<Pid>::max()) return 0;
  return static_cast<Pid>(*number);
}

Pid pid_file_pid(Os& os) {
  // Content past the bound, or that cannot be read at once, names no PID.
  const auto file = os.read_small_file(kPidFile, kPidFileLimit);
  return file.content ? pid_file_number(*file.content) : 0;
}

std::optional<Pid> squid_pid(Os& os) {
  const Pid candidate = pid_file_pid(os);
  if (candidate > 0 && os.process_exists(candidate) && runs_proxy(os, candidate)) return candidate;
  std::optional<Pid> found;
  scan_proxy_processes(os, [&](Pid pid) {
    found = pid;
    return false;
  });
  return found;
}

}  // namespace pw
