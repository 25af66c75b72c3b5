#include "front/dispatch.h"

#include <gtest/gtest.h>

#include "report/progress.h"
#include "testing/fake_os.h"
#include "testing/journal_test_util.h"

namespace pw {
namespace {

// An exact action word, wherever it is; every earlier word of the table wins
// over every later one.
TEST(ChooseAction, TakesAnExactActionWordAndTheEarliestOfSeveral) {
  for (const auto& arguments : std::vector<std::vector<std::string>>{
           {}, {"START"}, {"Start"}, {"star"}, {"start "}, {"--start"}, {"restart_cpu"}}) {
    EXPECT_EQ(choose_action(arguments), nullptr) << ::testing::PrintToString(arguments);
  }
  const char* const order[] = {"start",   "stop",           "ps",          "pid",
                               "restart", "reload-timeout", "restart-cpu", "restart-memory"};
  for (size_t earlier = 0; earlier < std::size(order); ++earlier) {
    for (size_t later = earlier + 1; later <= std::size(order); ++later) {
      // Alone among other words, or with a later one before or after it.
      const std::string other = later < std::size(order) ? order[later] : "foo";
      for (const auto& arguments :
           {std::vector<std::string>{order[earlier], other}, std::vector<std::string>{other, "x", order[earlier]}}) {
        const Action* action = choose_action(arguments);
        ASSERT_NE(action, nullptr);
        EXPECT_STREQ(action->word, order[earlier]) << order[earlier] << " with " << other;
      }
    }
  }
}

TEST(Run, WithoutAnActionWordDoesNothingAndPidAndPsPrintWhatRuns) {
  FakeOs os;
  run(os, {"pid"});
  os.add_process(812, {.exe = "/usr/sbin/squid", .user = "squid"});
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
  const std::string progress = "> /usr/share/brantelbase/ressources/logs/web/squid.quick.progress ";
  const std::string restarting =
      "> /usr/share/brantelbase/ressources/logs/web/squid.quick.rprogress " + progress_record(35, "Stopping...");
  const struct {
    const char* word;
    std::vector<std::string> trace;
  } cases[] = {
      {"start",
       {"[Starting]......: Proxy ip_local_port_range: 65535",
        "$ /sbin/sysctl -w net.ipv4.ip_local_port_range=\"8000 65535\""}},
      {"stop", {"[Stopping]......: No other processes.", progress + progress_record(110, "Stopping {failed}...")}},
      {"pid", {"PID of main proxy service is [None]"}},
      {"restart", {restarting, "[Stopping]......: No other processes."}},
      {"reload-timeout", {"@ journal", "$ /usr/sbin/squid -f /etc/squid3/squid.conf -k reconfigure >/dev/null 2>&1"}},
      {"restart-cpu", {"@ journal", restarting}},
      {"restart-memory", {"@ journal", restarting}},
  };
  for (const auto& c : cases) {
    FakeMachine machine;
    run(machine.os_, {c.word});
    EXPECT_EQ(machine.os_.trace_head(c.trace.size()), c.trace) << c.word;
  }
}

}  // namespace
}  // namespace pw
