#include "front/actions.h"

#include <gtest/gtest.h>

#include <csignal>

#include "proxy/fixed.h"
#include "report/fixed.h"
#include "report/progress.h"
#include "testing/fake_os.h"
#include "testing/journal_test_util.h"

namespace pw {
namespace {

const FakeProcess kProxy{.exe = kSquidBinary, .user = kProxyUser};

const std::pair<int, const char*> kKnownRecords[] = {{35, "Stopping..."},
                                                     {65, "Starting..."},
                                                     {100, "Starting {success}..."},
                                                     {100, "Stopping {success}..."},
                                                     {110, "Starting {failed}..."},
                                                     {110, "Stopping {failed}..."}};

// The records a progress file went through, as "PERCENT TEXT".
std::vector<std::string> records(const FakeOs& os, const char* file) {
  std::vector<std::string> seen;
  for (const auto& data : os.writes(file)) {
    for (const auto& [prc, text] : kKnownRecords) {
      if (data == progress_record(prc, text)) seen.push_back(std::to_string(prc) + " " + text);
    }
  }
  EXPECT_EQ(seen.size(), os.writes(file).size()) << "an unknown record";
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
  EXPECT_EQ(records(os_, kStartStopProgress),
            (std::vector<std::string>{"110 Stopping {failed}...", "100 Starting {success}...",
                                      "110 Starting {failed}...", "100 Stopping {success}..."}));
  EXPECT_TRUE(os_.writes(kRestartProgress).empty());
}

TEST_F(Actions, PsWritesNoRecord) {
  os_.add_process(812, kProxy);
  ps_action(os_);
  EXPECT_EQ(os_.trace(), std::vector<std::string>{"[812] '/usr/sbin/squid'[[]] (1)"});
}

TEST_F(Actions, RestartPassesThroughItsPhases) {
  const struct {
    const char* label;
    std::function<void(Scene&)> arrange;
    std::vector<std::string> records;
  } cases[] = {
      {"success",
       [](Scene& t) {
         t.obedient_proxy();
         t.os_.add_process(812, kProxy);
       },
       {"35 Stopping...", "65 Starting...", "100 Starting {success}..."}},
      {"nothing to stop", [](Scene&) {}, {"35 Stopping...", "110 Stopping {failed}..."}},
      {"stop fails",
       [](Scene& t) {
         t.os_.add_process(812, kProxy);
         t.os_.on_signal(812, SIGKILL, [&t] { t.os_.add_process(812, kProxy); });
       },
       {"35 Stopping...", "110 Stopping {failed}..."}},
      {"start fails",
       [](Scene& t) {
         t.os_.add_process(812, kProxy);
         t.os_.on_shell(kKillCommand, [&t] { t.os_.end_process(812); });
       },
       {"35 Stopping...", "65 Starting...", "110 Starting {failed}..."}},
  };
  for (const auto& c : cases) {
    Scene t;
    c.arrange(t);
    restart_sequence(t.os_);
    EXPECT_EQ(records(t.os_, kRestartProgress), c.records) << c.label;
    EXPECT_TRUE(t.os_.writes(kStartStopProgress).empty()) << c.label;
  }
}

TEST_F(Actions, RestartStartsOnlyAfterTheStopRecord) {
  obedient_proxy();
  os_.add_process(812, kProxy);
  restart_sequence(os_);
  const auto at = [&](const std::string& entry) { return std::find(os_.trace().begin(), os_.trace().end(), entry); };
  const auto starting = at(write_entry(kRestartProgress, progress_record(65, "Starting...")));
  EXPECT_LT(at(shell_entry(kKillCommand)), starting);
  EXPECT_LT(starting, at(shell_entry(kLaunchCommand)));
  EXPECT_NE(at(shell_entry(kLaunchCommand)), os_.trace().end());
}

TEST_F(Actions, AFailedProgressWriteEndsTheRun) {
  os_.fail_writes(ENOENT);
  EXPECT_THROW(start_action(os_), std::system_error);
}

}  // namespace
}  // namespace pw
