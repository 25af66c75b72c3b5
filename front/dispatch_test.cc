#include "front/dispatch.h"

#include <gtest/gtest.h>

#include "front/fixed.h"
#include "platform/text.h"
#include "proxy/fixed.h"
#include "report/fixed.h"
#include "report/progress.h"
#include "testing/fake_os.h"
#include "testing/journal_test_util.h"

namespace pw {
namespace {

TEST(ChooseAction, TakesOnlyAnExactActionWordWhereverItIs) {
  for (const auto& arguments : std::vector<std::vector<std::string>>{
           {}, {"START"}, {"Start"}, {"star"}, {"start "}, {"--start"}, {"restart_cpu"}}) {
    EXPECT_EQ(choose_action(arguments), nullptr) << ::testing::PrintToString(arguments);
  }
  for (const auto& arguments :
       std::vector<std::vector<std::string>>{{"foo", "start", "bar"}, {"x", "restart-memory"}}) {
    const Action* action = choose_action(arguments);
    ASSERT_NE(action, nullptr);
    EXPECT_EQ(action->word, arguments[1]);
  }
}

TEST(ChooseAction, EveryEarlierWordWinsOverEveryLaterOne) {
  const char* const order[] = {"start",   "stop",           "ps",          "pid",
                               "restart", "reload-timeout", "restart-cpu", "restart-memory"};
  for (size_t earlier = 0; earlier < std::size(order); ++earlier) {
    for (size_t later = earlier + 1; later < std::size(order); ++later) {
      for (const auto& arguments : {std::vector<std::string>{order[earlier], order[later]},
                                    std::vector<std::string>{order[later], "x", order[earlier]}}) {
        const Action* action = choose_action(arguments);
        ASSERT_NE(action, nullptr);
        EXPECT_STREQ(action->word, order[earlier]) << order[earlier] << " with " << order[later];
      }
    }
  }
}

TEST(Run, WithoutAnActionWordDoesNothingAndPidAndPsPrintWhatRuns) {
  FakeOs os;
  run(os, {"pid"});
  os.add_process(812, {.exe = kSquidBinary, .user = kProxyUser});
  run(os, {"status", "PID", "Stop"});
  EXPECT_TRUE(os.settings_read().empty());
  run(os, {"pid"});
  run(os, {"ps"});
  EXPECT_EQ(os.trace(),
            (std::vector<std::string>{"PID of main proxy service is [None]", "PID of main proxy service is [812]",
                                      "[812] '/usr/sbin/squid'[[]] (1)"}));
}

TEST(Run, EachWordRunsItsOwnAction) {
  // What each action does first, with no proxy running, tells them apart (ps,
  // which prints nothing then, is above).
  const struct {
    const char* word;
    std::vector<std::string> trace;
  } cases[] = {
      {"start", {fill(kPortRangeLine, {"65535"}), shell_entry(fill(kPortRangeCommand, {kSysctl, "65535"}))}},
      {"stop", {kNoOthersLine, write_entry(kStartStopProgress, progress_record(110, "Stopping {failed}..."))}},
      {"pid", {"PID of main proxy service is [None]"}},
      {"restart", {write_entry(kRestartProgress, progress_record(35, "Stopping...")), kNoOthersLine}},
      {"reload-timeout", {kJournalEntry, shell_entry(kReconfigureCommand)}},
      {"restart-cpu", {kJournalEntry, write_entry(kRestartProgress, progress_record(35, "Stopping..."))}},
      {"restart-memory", {kJournalEntry, write_entry(kRestartProgress, progress_record(35, "Stopping..."))}},
  };
  for (const auto& c : cases) {
    FakeMachine machine;
    run(machine.os_, {c.word});
    const auto& trace = machine.os_.trace();
    const auto shown = static_cast<std::ptrdiff_t>(std::min(trace.size(), c.trace.size()));
    EXPECT_EQ(std::vector<std::string>(trace.begin(), trace.begin() + shown), c.trace) << c.word;
  }
}

}  // namespace
}  // namespace pw
