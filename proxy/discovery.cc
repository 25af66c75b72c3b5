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

// The first process in the table that runs the proxy's program as the proxy
// user. A process that ends or refuses access while it is examined is passed
// over.
std::optional<Pid> scan(Os& os) {
  for (const Pid pid : os.list_processes()) {
    try {
      if (os.exe_path(pid).find(kSquidBinary) == std::string::npos) continue;
      if (os.user_name(pid) != kProxyUser) continue;
    } catch (const std::system_error& e) {
      if (cannot_examine(e)) continue;
      throw;
    }
    return pid;
  }
  return std::nullopt;
}

}  // namespace

Pid pid_file_number(std::string_view content) {
  const auto number = parse_decimal(content);
  if (!number || *number <= 0 || *number > std::numeric_limits<Pid>::max()) return 0;
  return static_cast<Pid>(*number);
}

std::optional<Pid> squid_pid(Os& os) {
  if (const auto content = os.read_file(kPidFile)) {
    const Pid candidate = pid_file_number(*content);
    if (candidate > 0 && os.process_exists(candidate) && runs_proxy(os, candidate)) return candidate;
  }
  return scan(os);
}

}  // namespace pw
