#include "testing/stand_in_os.h"

#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/error.h"
#include "platform/fixed.h"
#include "platform/libunix.h"
#include "platform/proc.h"

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
  Snapshot look(Look look) override {
    Snapshot seen = real_->look(look);
    if (seen.owner == proxy_uid_) seen.owner = kStandInUser;
    return seen;
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
  ::prctl(PR_GET_CHILD_SUBREAPER, &was_subreaper_);
  ::prctl(PR_SET_CHILD_SUBREAPER, 1);
}

StandInOs::~StandInOs() { ::prctl(PR_SET_CHILD_SUBREAPER, was_subreaper_); }

bool StandInOs::ours(Pid pid) {
  const Pid self = ::getpid();
  // Ours when the chain of parents reaches the test's process.
  for (int depth = 0; depth < 64 && pid > 1; ++depth) {
    try {
      pid = read_status(pid).parent;
    } catch (const std::system_error&) {
      return false;
    }
    if (pid == self) return true;
  }
  return false;
}

void StandInOs::reap() {
  // Every command starts in a session of its own, and so do the daemons it
  // leaves to the test: a child in the test's own session is not theirs.
  const Pid self = ::getpid();
  const pid_t session = ::getsid(0);
  for (const Pid pid : real_->list_processes()) {
    try {
      if (read_status(pid).parent == self && ::getsid(pid) != session) ::waitpid(pid, nullptr, WNOHANG);
    } catch (const std::system_error&) {
      // Ended meanwhile.
    }
  }
}

std::vector<Pid> StandInOs::list_processes() {
  reap();
  std::vector<Pid> pids;
  for (const Pid pid : real_->list_processes()) {
    if (ours(pid)) pids.push_back(pid);
  }
  return pids;
}

Glance StandInOs::glance(Pid pid) {
  if (!ours(pid)) throw ProcessEnded("not a process of the test " + std::to_string(pid));
  return real_->glance(pid);
}

std::unique_ptr<Process> StandInOs::open_process(Pid pid) {
  if (!ours(pid)) throw ProcessEnded("not a process of the test " + std::to_string(pid));
  auto process = real_->open_process(pid);
  // Checked again once it is open: a handle still alive afterwards is on the
  // process that was checked, not on one that reused its PID.
  if (!ours(pid)) throw ProcessEnded("not a process of the test " + std::to_string(pid));
  (void)process->look(Look::kPath);
  return std::make_unique<StandInProcess>(std::move(process), proxy_uid_);
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
