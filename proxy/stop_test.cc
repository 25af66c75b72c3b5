#include "proxy/stop.h"

#include <gtest/gtest.h>

#include <csignal>

#include "platform/text.h"
#include "proxy/fixed.h"
#include "testing/fake_os.h"
#include "testing/journal_test_util.h"

namespace pw {
namespace {

const FakeProcess kProxy{.exe = kSquidBinary, .user = kProxyUser};

std::vector<std::string> waits(Pid pid, int passes) {
  std::vector<std::string> trace;
  for (int pass = 0; pass < passes; ++pass) {
    trace.push_back(fill(kWaitingLine, {std::to_string(pid), std::to_string(pass)}));
    trace.push_back(sleep_entry(1));
  }
  return trace;
}

std::vector<std::string> concat(std::initializer_list<std::vector<std::string>> parts) {
  std::vector<std::string> all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

class SquidStop : public FakeMachineTest {
 protected:
  void SetUp() override {
    os_.set_file(kPidFile, "812\n");
    os_.add_process(812, kProxy);
  }
  std::vector<std::pair<std::int64_t, std::string>> events() {
    std::vector<std::pair<std::int64_t, std::string>> found;
    for (const auto& row : journal_rows(db_)) found.emplace_back(row.severity, row.subject);
    return found;
  }
  const std::vector<std::string> opening_{"[Stopping]......: Terminate process 812", shell_entry(kKillCommand)};
};

TEST_F(SquidStop, WithoutAMainProcessOnlySweeps) {
  FakeOs os(db_);
  os.add_process(5, {.exe = "/usr/lib/squid/pinger", .user = kProxyUser});
  EXPECT_FALSE(squid_stop(os));
  EXPECT_EQ(os.trace(), (std::vector<std::string>{"[Stopping]......: Terminate process 5 [/usr/lib/squid/pinger]",
                                                  signal_entry(5, SIGTERM), signal_entry(5, SIGKILL),
                                                  "[Stopping]......: No other processes."}));
  EXPECT_TRUE(events().empty());
}

TEST_F(SquidStop, GoneAtTheFirstPassPrintsNoWaitLine) {
  os_.on_shell(kKillCommand, [&] { os_.end_process(812); });
  EXPECT_TRUE(squid_stop(os_));
  EXPECT_EQ(os_.trace(), concat({opening_,
                                 {"[Stopping]......: Terminate process 812 success (smoothly)",
                                  "[Stopping]......: No other processes."}}));
  EXPECT_TRUE(events().empty());
}

TEST_F(SquidStop, GoneAtTheFourthPassAfterThreeWaits) {
  os_.after_seconds(3, [&] { os_.end_process(812); });
  EXPECT_TRUE(squid_stop(os_));
  EXPECT_EQ(os_.trace(), concat({opening_,
                                 waits(812, 3),
                                 {"[Stopping]......: Terminate process 812 success (smoothly)",
                                  "[Stopping]......: No other processes."}}));
  EXPECT_TRUE(events().empty());
}

TEST_F(SquidStop, EachWaitLineShowsThePidOfItsOwnPass) {
  // The main process hands over to a new one; the smooth line keeps the first.
  os_.after_seconds(1, [&] {
    os_.end_process(812);
    os_.add_process(813, kProxy);
  });
  os_.after_seconds(2, [&] { os_.end_process(813); });
  EXPECT_TRUE(squid_stop(os_));
  EXPECT_EQ(os_.trace(), concat({opening_,
                                 waits(812, 1),
                                 {fill(kWaitingLine, {"813", "1"}), sleep_entry(1),
                                  "[Stopping]......: Terminate process 812 success (smoothly)",
                                  "[Stopping]......: No other processes."}}));
}

TEST_F(SquidStop, GoneAtTheSeventhCheck) {
  os_.after_seconds(6, [&] { os_.end_process(812); });
  EXPECT_TRUE(squid_stop(os_));
  EXPECT_EQ(os_.trace(),
            concat({opening_,
                    waits(812, 6),
                    {"[Stopping]......: Terminate process success", "[Stopping]......: No other processes."}}));
  EXPECT_TRUE(events().empty());
}

TEST_F(SquidStop, ForcedStopSucceedsAfterSixWaits) {
  os_.add_process(900, {.exe = "/usr/lib/squid/pinger", .user = kProxyUser});
  EXPECT_TRUE(squid_stop(os_));
  EXPECT_EQ(os_.trace(),
            concat({opening_,
                    waits(812, 6),
                    {"[Stopping]......: Killing process 812", signal_entry(812, SIGTERM), signal_entry(812, SIGKILL),
                     sleep_entry(1), "[Stopping]......: Terminate process success",
                     "[Stopping]......: Terminate process 900 [/usr/lib/squid/pinger]", signal_entry(900, SIGTERM),
                     signal_entry(900, SIGKILL), "[Stopping]......: No other processes.", kJournalEntry}}));
  EXPECT_EQ(events(), (std::vector<std::pair<std::int64_t, std::string>>{{1, "Success Stopping proxy service"}}));
}

TEST_F(SquidStop, ForcedStopFailsWhenTheProxyComesBack) {
  os_.on_signal(812, SIGKILL, [&] { os_.add_process(812, kProxy); });
  EXPECT_FALSE(squid_stop(os_));
  EXPECT_EQ(os_.trace(),
            concat({opening_,
                    waits(812, 6),
                    {"[Stopping]......: Killing process 812", signal_entry(812, SIGTERM), signal_entry(812, SIGKILL),
                     sleep_entry(1), kJournalEntry, "[Stopping]......: [Failed]"}}));
  EXPECT_EQ(events(), (std::vector<std::pair<std::int64_t, std::string>>{{0, "Failed Stopping proxy service"}}));
}

TEST_F(SquidStop, AProxyEndingJustBeforeItsSignalsIsStoppedAnyway) {
  const struct {
    const char* label;
    std::function<void(FakeOs&)> arrange;
    std::vector<std::string> signals;
  } cases[] = {
      {"once chosen, before its signals",
       [](FakeOs& os) { os.on_line(fill(kKillingLine, {"812"}), [&os] { os.end_process(812); }); },
       {}},
      {"after SIGTERM",
       [](FakeOs& os) { os.on_signal(812, SIGTERM, [&os] { os.end_process(812); }); },
       {signal_entry(812, SIGTERM)}},
  };
  for (const auto& c : cases) {
    FakeOs os(db_);
    os.add_process(812, kProxy);
    c.arrange(os);
    EXPECT_TRUE(squid_stop(os)) << c.label;
    const auto shown = static_cast<std::ptrdiff_t>(5 + c.signals.size());
    const std::vector<std::string> tail(os.trace().end() - shown, os.trace().end());
    EXPECT_EQ(tail, concat({{"[Stopping]......: Killing process 812"},
                            c.signals,
                            {sleep_entry(1), "[Stopping]......: Terminate process success",
                             "[Stopping]......: No other processes.", kJournalEntry}}))
        << c.label;
  }
}

TEST_F(SquidStop, ForcedStopTakesEveryProcessTheScanWouldName) {
  // Several workers: the kill command reaches the master alone.
  for (const Pid kid : {813, 814}) os_.add_process(kid, kProxy);
  os_.add_process(815, {.exe = "/usr/lib/squid/pinger", .user = kProxyUser});
  os_.add_process(816, {.exe = kSquidBinary, .user = "root"});
  EXPECT_TRUE(squid_stop(os_));
  EXPECT_EQ(os_.trace(),
            concat({opening_,
                    waits(812, 6),
                    {"[Stopping]......: Killing process 812", signal_entry(812, SIGTERM), signal_entry(812, SIGKILL),
                     "[Stopping]......: Killing process 813", signal_entry(813, SIGTERM), signal_entry(813, SIGKILL),
                     "[Stopping]......: Killing process 814", signal_entry(814, SIGTERM), signal_entry(814, SIGKILL),
                     sleep_entry(1), "[Stopping]......: Terminate process success",
                     "[Stopping]......: Terminate process 815 [/usr/lib/squid/pinger]", signal_entry(815, SIGTERM),
                     signal_entry(815, SIGKILL), "[Stopping]......: No other processes.", kJournalEntry}}));
  EXPECT_TRUE(os_.has_process(816));
}

TEST_F(SquidStop, ForcedStopSignalsOnlyWhatItsHandleShowsToQualify) {
  const struct {
    const char* label;
    std::function<void(FakeOs&)> arrange;
    std::vector<std::string> forced;
  } cases[] = {
      // A process that takes over a PID once it was chosen is never signalled.
      {"the main PID taken by another program after the look that chose it",
       [](FakeOs& os) {
         os.on_line(fill(kKillingLine, {"812"}),
                    [&os] { os.add_process(812, {.exe = "/usr/sbin/sshd", .user = "root"}); });
       },
       {}},
      {"a kid's PID taken by another user's process after the forced stop's own look",
       [](FakeOs& os) {
         os.add_process(813, kProxy);
         os.on_line(fill(kKillingLine, {"813"}), [&os] { os.add_process(813, {.exe = kSquidBinary, .user = "root"}); });
       },
       {signal_entry(812, SIGTERM), signal_entry(812, SIGKILL), fill(kKillingLine, {"813"})}},
      {"a kid's PID taken, as the main one dies, by another user's process whose path may not be read",
       [](FakeOs& os) {
         os.add_process(813, kProxy);
         os.on_signal(812, SIGKILL, [&os] {
           os.add_process(813, {.exe = "/opt/agent", .user = "nobody"});
           os.fail_query(813, "exe", EACCES);
         });
       },
       {signal_entry(812, SIGTERM), signal_entry(812, SIGKILL)}},
      {"the PID file's process, whose path may not be read",
       [](FakeOs& os) { os.fail_query(812, "exe", EACCES); },
       {signal_entry(812, SIGTERM), signal_entry(812, SIGKILL)}},
  };
  for (const auto& c : cases) {
    FakeOs os(db_);
    os.set_file(kPidFile, "812\n");
    os.add_process(812, kProxy);
    c.arrange(os);
    EXPECT_TRUE(squid_stop(os)) << c.label;
    std::vector<std::string> signals;
    for (const auto& entry : os.trace()) {
      if (entry.starts_with("! ") || entry.starts_with("[Stopping]......: Killing")) signals.push_back(entry);
    }
    EXPECT_EQ(signals, concat({{"[Stopping]......: Killing process 812"}, c.forced})) << c.label;
  }
}

TEST_F(SquidStop, ARefusedSignalEndsTheRun) {
  os_.fail_signal(812, SIGTERM, EPERM);
  EXPECT_THROW(squid_stop(os_), std::system_error);
  EXPECT_EQ(os_.lines().back(), "[Stopping]......: Killing process 812");
  EXPECT_TRUE(events().empty());
}

}  // namespace
}  // namespace pw
