#include "proxy/start.h"

#include "platform/text.h"
#include "proxy/discovery.h"
#include "proxy/fixed.h"
#include "report/journal.h"

namespace pw {

bool squid_start(Os& os) {
  const SmallFile pid_file = read_pid_file(os);
  const auto running = main_process(os, pid_file_pid(pid_file));
  // A larger file-descriptor limit may raise the top of the port range; the
  // setting is read even when nothing will be launched.
  const long long top = std::max(kPortRangeTop, os.GET_INFO_INT(kMaxFiledesc));
  if (running) {
    os.out(fill(kAlreadyStartedLine, {std::to_string(*running)}));
    return false;
  }

  // Squid refuses to start while its PID file names any live process, and this
  // one names no proxy. It goes only while it holds what was judged, so that a
  // start running beside this one keeps the file it has just written.
  if (pid_file.exists && read_pid_file(os) == pid_file) os.remove_file(kPidFile);

  os.out(fill(kPortRangeLine, {std::to_string(top)}));
  os.shell(fill(kPortRangeCommand, {kSysctl, std::to_string(top)}));
  os.out(kLaunchLine);
  os.shell(os.booted_with_systemd() ? kLaunchUnitCommand : kLaunchCommand);

  for (int probe = 0; probe < kProbes; ++probe) {
    const auto found = squid_pid(os);
    os.out(fill(kProbeLine, {std::to_string(probe)}));
    if (found) {
      const std::string pid = std::to_string(*found);
      squid_admin_mysql(os, kSeverityStarted, fill(kStartedSubject, {pid}), "");
      os.out(fill(kStartedLine, {pid}));
      return true;
    }
    os.sleep(1);
  }
  squid_admin_mysql(os, kSeverityFailed, kStartFailedSubject, "");
  os.out(kStartFailedLine);
  return false;
}

}  // namespace pw
