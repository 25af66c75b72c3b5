#include "proxy/discovery.h"

#include <limits>

#include "platform/decimal.h"
#include "proxy/fixed.h"
#include "proxy/identity.h"

namespace pw {

Pid pid_file_number(std::string_view content) {
  const auto number = parse_decimal(content);
  if (!number || *number <= 0 || *number > std::numeric_limits<Pid>::max()) return 0;
  return static_cast<Pid>(*number);
}

SmallFile read_pid_file(Os& os) { return os.read_small_file(kPidFile, kPidFileLimit); }

Pid pid_file_pid(const SmallFile& file) {
  // Content past the bound, or that cannot be read at once, names no PID.
  return file.content ? pid_file_number(*file.content) : 0;
}

Pid pid_file_pid(Os& os) { return pid_file_pid(read_pid_file(os)); }

std::optional<Pid> main_process(Os& os, Pid candidate) {
  // The path alone tells whether the process the file names is the proxy.
  if (candidate > 0 && qualifying_look(os, candidate, Identity::kMain, candidate, Look::kPath)) return candidate;
  std::optional<Pid> found;
  walk_processes(os, Identity::kMain, candidate, Look::kOwner, [&](const Snapshot& seen) {
    found = seen.pid;
    return false;
  });
  return found;
}

std::optional<Pid> squid_pid(Os& os) { return main_process(os, pid_file_pid(os)); }

}  // namespace pw
