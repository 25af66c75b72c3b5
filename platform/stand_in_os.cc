#include "platform/stand_in_os.h"

#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "platform/error.h"
#include "platform/fixed.h"
#include "platform/libunix.h"

namespace pw {
namespace {

// The name the proxy's user has on an appliance.
constexpr char kStandInUser[] = "squid";

std::string replace_all(std::string text, const std::string& from, const std::string& to) {
  for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

// A handle on a process of the test, whose owner is named as StandInOs names it.
class StandInProcess final : public Process {
 public:
  StandInProcess(std::unique_ptr<Process> real, const std::string& proxy_uid)
      : real_(std::move(real)), proxy_uid_(proxy_uid) {}
  Pid pid() const override { return real_->pid(); }
  std::string exe_path() override { return real_->exe_path(); }
  std::string user_name() override {
    const auto name = real_->user_name();
    return name == proxy_uid_ ? kStandInUser : name;
  }
  double cpu_seconds() override { return real_->cpu_seconds(); }
  double memory_percent() override { return real_->memory_percent(); }
  void terminate() override { real_->terminate(); }
  void kill() override { real_->kill(); }

 private:
  std::unique_ptr<Process> real_;
  const std::string& proxy_uid_;
};

}  // namespace

StandInOs::StandInOs(std::unique_ptr<Os> real, std::string root, uid_t proxy_uid)
    : real_(std::move(real)), root_(std::move(root)), proxy_uid_(std::to_string(proxy_uid)) {
  ::prctl(PR_SET_CHILD_SUBREAPER, 1);
}

bool StandInOs::ours(Pid pid) {
  const Pid self = ::getpid();
  // Ours when the chain of parents reaches the test's process.
  for (int depth = 0; depth < 64 && pid > 1; ++depth) {
    try {
      pid = real_->parent_pid(pid);
    } catch (const std::system_error&) {
      return false;
    }
    if (pid == self) return true;
  }
  return false;
}

Pid StandInOs::checked(Pid pid) {
  if (!ours(pid))
    throw std::system_error(ESRCH, std::generic_category(), "not a process of the test " + std::to_string(pid));
  return pid;
}

std::vector<Pid> StandInOs::list_processes() {
  // Children that ended are reaped, as init would reap them on a machine.
  while (::waitpid(-1, nullptr, WNOHANG) > 0) {
  }
  std::vector<Pid> pids;
  for (const Pid pid : real_->list_processes()) {
    if (ours(pid)) pids.push_back(pid);
  }
  return pids;
}

std::unique_ptr<Process> StandInOs::open_process(Pid pid) {
  auto process = real_->open_process(checked(pid));
  // Checked again after the open: a handle still alive afterwards is on the
  // process that was checked, not on one that reused its PID.
  checked(pid);
  (void)process->exe_path();
  return std::make_unique<StandInProcess>(std::move(process), proxy_uid_);
}

std::string StandInOs::user_name(Pid pid) {
  const auto name = real_->user_name(checked(pid));
  return name == proxy_uid_ ? kStandInUser : name;
}

void StandInOs::shell(const std::string& command_line) {
  std::string moved_line = replace_all(command_line, "/usr/sbin/squid", moved("/usr/sbin/squid"));
  moved_line = replace_all(moved_line, "/sbin/sysctl", moved("/sbin/sysctl"));
  real_->shell(moved_line);
}

long long StandInOs::GET_INFO_INT(const std::string& key) {
  long long value = 0;
  if (const int err = read_setting(moved(kSettingsDir).c_str(), key.c_str(), &value); err != 0) {
    throw Error(err, "GET_INFO_INT " + key);
  }
  return value;
}

std::string StandInOs::begin_journal_event() { return moved(kEventDatabase); }

}  // namespace pw
