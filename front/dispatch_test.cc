#include "front/dispatch.h"

#include <gtest/gtest.h>

#include "front/fixed.h"
#include "platform/text.h"
#include "proxy/fixed.h"
#include "report/fixed.h"
#include "testing/fake_os.h"
#include "testing/journal_test_util.h"

namespace pw {
namespace {

TEST(ChooseAction, FirstRowOfTheTableWins) {
  const struct {
    std::vector<std::string> arguments;
    const char* chosen;  // nullptr: no action
  } cases[] = {
      {{}, nullptr},
      {{"START"}, nullptr},
      {{"Start"}, nullptr},
      {{"star"}, nullptr},
      {{"start "}, nullptr},
      {{"--start"}, nullptr},
      {{"restart_cpu"}, nullptr},
      {{"foo", "start", "bar"}, "start"},
      {{"restart", "stop"}, "stop"},
      {{"stop", "restart"}, "stop"},
      {{"stop", "start"}, "start"},
      {{"pid", "ps"}, "ps"},
      {{"restart-cpu", "restart"}, "restart"},
      {{"restart-memory", "restart-cpu"}, "restart-cpu"},
      {{"restart-memory", "reload-timeout"}, "reload-timeout"},
      {{"restart-memory", "pid"}, "pid"},
      {{"restart-memory"}, "restart-memory"},
  };
  for (const auto& c : cases) {
    const Action* action = choose_action(c.arguments);
    std::string label;
    for (const auto& a : c.arguments) label += "[" + a + "]";
    if (c.chosen == nullptr) {
      EXPECT_EQ(action, nullptr) << label;
    } else {
      ASSERT_NE(action, nullptr) << label;
      EXPECT_STREQ(action->word, c.chosen) << label;
    }
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

TEST(Run, WithoutAnActionWordDoesNothing) {
  FakeOs os;
  os.add_process(812, {.exe = kSquidBinary, .user = kProxyUser});
  run(os, {"status", "PID", "Stop"});
  EXPECT_TRUE(os.trace().empty());
  EXPECT_TRUE(os.settings_read().empty());
}

TEST(Run, PidPrintsTheMainPidOrNone) {
  FakeOs os;
  run(os, {"pid"});
  os.add_process(812, {.exe = kSquidBinary, .user = kProxyUser});
  run(os, {"pid"});
  EXPECT_EQ(os.trace(),
            (std::vector<std::string>{"PID of main proxy service is [None]", "PID of main proxy service is [812]"}));
}

TEST(Run, EachWordRunsItsOwnAction) {
  // What each action does first, with no proxy running, tells them apart.
  const struct {
    const char* word;
    std::vector<std::string> trace;
  } cases[] = {
      {"start", {fill(kPortRangeLine, {"65535"}), shell_entry(fill(kPortRangeCommand, {kSysctl, "65535"}))}},
      {"stop",
       {kNoOthersLine,
        write_entry(kStartStopProgress, "a:2:{s:5:\"POURC\";i:110;s:4:\"TEXT\";s:20:\"Stopping {failed}...\";}")}},
      {"ps", {}},
      {"pid", {"PID of main proxy service is [None]"}},
      {"restart",
       {write_entry(kRestartProgress, "a:2:{s:5:\"POURC\";i:35;s:4:\"TEXT\";s:11:\"Stopping...\";}"), kNoOthersLine}},
      {"reload-timeout", {kJournalEntry, shell_entry(kReconfigureCommand)}},
      {"restart-cpu",
       {kJournalEntry, write_entry(kRestartProgress, "a:2:{s:5:\"POURC\";i:35;s:4:\"TEXT\";s:11:\"Stopping...\";}")}},
      {"restart-memory",
       {kJournalEntry, write_entry(kRestartProgress, "a:2:{s:5:\"POURC\";i:35;s:4:\"TEXT\";s:11:\"Stopping...\";}")}},
  };
  for (const auto& c : cases) {
    FakeMachine machine;
    FakeOs& os = machine.os_;
    run(os, {c.word});
    const auto shown = static_cast<std::ptrdiff_t>(std::min(os.trace().size(), c.trace.size()));
    std::vector<std::string> first(os.trace().begin(), os.trace().begin() + shown);
    EXPECT_EQ(first, c.trace) << c.word;
  }
}

}  // namespace
}  // namespace pw
