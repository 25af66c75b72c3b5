#include "front/actions.h"

#include <gtest/gtest.h>

#include <csignal>
#include <regex>

#include "proxy/fixed.h"
#include "report/fixed.h"
#include "testing/fake_os.h"
#include "testing/journal_test_util.h"

namespace pw {
namespace {

const FakeProcess kProxy{.exe = kSquidBinary, .user = kProxyUser};

// The records a progress file went through, as "PERCENT TEXT", among the kill
// and launch commands.
std::vector<std::string> steps(const FakeOs& os, const std::string& file) {
  const std::regex record("> " + file + R"re( a:2:\{s:5:"POURC";i:(\d+);s:4:"TEXT";s:\d+:"(.*)";\})re");
  std::vector<std::string> seen;
  for (const auto& entry : os.trace()) {
    if (std::regex_match(entry, record)) seen.push_back(std::regex_replace(entry, record, "$1 $2"));
    if (entry == shell_entry(kKillCommand)) seen.emplace_back("kill");
    if (entry == shell_entry(kLaunchCommand)) seen.emplace_back("launch");
  }
  return seen;
}

// A fake machine that can be given a proxy that does what it is told.
struct Scene : FakeMachine {
  // A proxy that the launch command starts and the kill command stops.
  void obedient_proxy() {
    os_.on_shell(kLaunchCommand, [this] { os_.add_process(next_pid_++, kProxy); });
    os_.on_shell(kKillCommand, [this] {
      for (const Pid pid : os_.list_processes()) os_.end_process(pid);
    });
  }
  Pid next_pid_ = 901;
};

class Actions : public ::testing::Test, protected Scene {};

TEST_F(Actions, StartAndStopRecordTheirOutcomeAfterwards) {
  obedient_proxy();
  stop_action(os_);  // nothing runs
  start_action(os_);
  start_action(os_);  // already running
  stop_action(os_);
  EXPECT_EQ(steps(os_, kStartStopProgress),
            (std::vector<std::string>{"110 Stopping {failed}...", "launch", "100 Starting {success}...",
                                      "110 Starting {failed}...", "kill", "100 Stopping {success}..."}));
}

// A restart records each phase as it begins, and its outcome.
TEST_F(Actions, RestartPassesThroughItsPhases) {
  const struct {
    const char* label;
    std::function<void(Scene&)> arrange;
    std::vector<std::string> steps;
  } cases[] = {
      {"success",
       [](Scene& t) {
         t.obedient_proxy();
         t.os_.add_process(812, kProxy);
       },
       {"35 Stopping...", "kill", "65 Starting...", "launch", "100 Starting {success}..."}},
      {"nothing to stop", [](Scene&) {}, {"35 Stopping...", "110 Stopping {failed}..."}},
      {"stop fails",
       [](Scene& t) {
         t.os_.add_process(812, kProxy);
         t.os_.on_signal(812, SIGKILL, [&t] { t.os_.add_process(812, kProxy); });
       },
       {"35 Stopping...", "kill", "110 Stopping {failed}..."}},
      {"start fails",
       [](Scene& t) {
         t.os_.add_process(812, kProxy);
         t.os_.on_shell(kKillCommand, [&t] { t.os_.end_process(812); });
       },
       {"35 Stopping...", "kill", "65 Starting...", "launch", "110 Starting {failed}..."}},
  };
  for (const auto& c : cases) {
    Scene t;
    c.arrange(t);
    restart_sequence(t.os_);
    EXPECT_EQ(steps(t.os_, kRestartProgress), c.steps) << c.label;
  }
}

}  // namespace
}  // namespace pw
