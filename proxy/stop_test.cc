#include "proxy/stop.h"

#include <gtest/gtest.h>

#include <csignal>
#include <functional>

#include "proxy/fixed.h"
#include "testing/fake_os.h"
#include "testing/journal_test_util.h"

namespace pw {
namespace {

const FakeProcess kProxy{.exe = kSquidBinary, .user = kProxyUser};
const FakeProcess kHelper{.exe = "/usr/lib/squid/pinger", .user = kProxyUser};
const FakeProcess kKillRun{.exe = kSquidBinary, .user = kProxyUser, .command_line = {"squid", "-k", "kill"}};
// What the console and Squid see.
const std::string kKill = "/usr/sbin/squid -f /etc/squid3/squid.conf -k kill >/dev/null 2>&1";
const std::string kNoOthers = "[Stopping]......: No other processes.";
const std::string kTerminated = "[Stopping]......: Terminate process success";

std::string killing_line(Pid pid) { return "[Stopping]......: Killing process " + std::to_string(pid); }

std::vector<std::string> waits(Pid pid, int passes) {
  std::vector<std::string> trace;
  for (int pass = 0; pass < passes; ++pass) {
    trace.push_back("[Stopping]......: Waiting pid " + std::to_string(pid) + " " + std::to_string(pass) + "/5");
    trace.emplace_back("~ sleep 1");
  }
  return trace;
}

std::vector<std::string> concat(std::initializer_list<std::vector<std::string>> parts) {
  std::vector<std::string> all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

std::vector<std::string> signals(Pid pid) { return {signal_entry(pid, SIGTERM), signal_entry(pid, SIGKILL)}; }

using SquidStop = FakeMachineTest;

// The stop's outcomes, with the PID file naming the proxy at 812: gone within
// the six waits, by the forced stop, or not at all.
TEST_F(SquidStop, EndsInOneOfItsOutcomes) {
  const std::vector<std::string> opening{"[Stopping]......: Terminate process 812", "$ " + kKill};
  const std::vector<std::string> smooth{"[Stopping]......: Terminate process 812 success (smoothly)", kNoOthers};
  const auto killing = concat({{killing_line(812)}, signals(812)});
  const struct {
    const char* label;
    std::function<void(FakeOs&)> arrange;
    bool stopped;
    std::vector<std::string> trace;  // with "@ journal" where the forced stop's outcome is journalled
  } cases[] = {
      {"no main process: the sweep alone",
       [](FakeOs& os) {
         os.end_process(812);
         os.add_process(5, kHelper);
       },
       false,
       {"[Stopping]......: Terminate process 5 [/usr/lib/squid/pinger]", signal_entry(5, SIGTERM),
        signal_entry(5, SIGKILL), kNoOthers}},
      {"gone at the first pass, before any wait",
       [](FakeOs& os) { os.on_shell(kKill, [&os] { os.end_process(812); }); }, true, concat({opening, smooth})},
      // Each wait line shows the main process of its own pass; the smooth line the first.
      {"handed over to a new main process",
       [](FakeOs& os) {
         os.after_seconds(1, [&os] {
           os.end_process(812);
           os.add_process(813, kProxy);
         });
         os.after_seconds(2, [&os] { os.end_process(813); });
       },
       true, concat({opening, waits(812, 1), {"[Stopping]......: Waiting pid 813 1/5", "~ sleep 1"}, smooth})},
      {"gone at the seventh check", [](FakeOs& os) { os.after_seconds(6, [&os] { os.end_process(812); }); }, true,
       concat({opening, waits(812, 6), {kTerminated, kNoOthers}})},
      {"forced, then swept", [](FakeOs& os) { os.add_process(900, kHelper); }, true,
       concat({opening,
               waits(812, 6),
               killing,
               {"~ sleep 1", kTerminated, "[Stopping]......: Terminate process 900 [/usr/lib/squid/pinger]"},
               signals(900),
               {kNoOthers, kJournalEntry}})},
      // The kill command reaches the master alone: every process the scan would
      // name goes too, and root's proxy stays.
      {"forced, with several workers",
       [](FakeOs& os) {
         for (const Pid kid : {813, 814}) os.add_process(kid, kProxy);
         os.add_process(816, {.exe = kSquidBinary, .user = "root"});
       },
       true,
       concat({opening,
               waits(812, 6),
               killing,
               {killing_line(813)},
               signals(813),
               {killing_line(814)},
               signals(814),
               {"~ sleep 1", kTerminated, kNoOthers, kJournalEntry}})},
      {"forced, and the proxy comes back",
       [](FakeOs& os) { os.on_signal(812, SIGKILL, [&os] { os.add_process(812, kProxy); }); }, false,
       concat({opening, waits(812, 6), killing, {"~ sleep 1", kJournalEntry, "[Stopping]......: [Failed]"}})},
  };
  for (const auto& c : cases) {
    FakeMachine machine;
    FakeOs& os = machine.os_;
    os.set_file(kPidFile, "812\n");
    os.add_process(812, kProxy);
    c.arrange(os);
    EXPECT_EQ(squid_stop(os), c.stopped) << c.label;
    EXPECT_EQ(os.trace(), c.trace) << c.label;
    const auto journalled = std::count(c.trace.begin(), c.trace.end(), kJournalEntry);
    EXPECT_EQ(journal_events(machine.db_),
              std::vector<std::string>(
                  journalled, c.stopped ? "1 Success Stopping proxy service" : "0 Failed Stopping proxy service"))
        << c.label;
  }
}

// The forced stop signals a process only once its handle shows it to be the
// main one, and one that ends meanwhile is stopped all the same.
TEST_F(SquidStop, ForcedStopSignalsOnlyWhatItsHandleShowsToQualify) {
  const struct {
    const char* label;
    std::function<void(FakeOs&)> arrange;
    std::vector<std::string> forced;  // after the line for 812
  } cases[] = {
      {"812 ends once chosen, before its signals",
       [](FakeOs& os) { os.on_line(killing_line(812), [&os] { os.end_process(812); }); },
       {}},
      {"812 ends at SIGTERM",
       [](FakeOs& os) { os.on_signal(812, SIGTERM, [&os] { os.end_process(812); }); },
       {signal_entry(812, SIGTERM)}},
      {"812 taken by another program after the look that chose it",
       [](FakeOs& os) {
         os.on_line(killing_line(812), [&os] { os.add_process(812, {.exe = "/usr/sbin/sshd", .user = "root"}); });
       },
       {}},
      {"a kid's PID taken by another user's process after the forced stop's own look",
       [](FakeOs& os) {
         os.add_process(813, kProxy);
         os.on_line(killing_line(813), [&os] { os.add_process(813, {.exe = kSquidBinary, .user = "root"}); });
       },
       concat({signals(812), {killing_line(813)}})},
      {"a kid's PID taken by a kill command before the forced stop's own look; the sweep ends it",
       [](FakeOs& os) {
         os.add_process(813, kProxy);
         os.on_signal(812, SIGKILL, [&os] { os.add_process(813, kKillRun); });
       },
       concat({signals(812), signals(813)})},
      {"812's path may not be read", [](FakeOs& os) { os.fail_query(812, "exe", EACCES); }, signals(812)},
  };
  for (const auto& c : cases) {
    FakeOs os(db_);
    os.set_file(kPidFile, "812\n");
    os.add_process(812, kProxy);
    c.arrange(os);
    EXPECT_TRUE(squid_stop(os)) << c.label;
    std::vector<std::string> forced;
    for (const auto& entry : os.trace()) {
      if (entry.starts_with("! ") || entry.starts_with("[Stopping]......: Killing")) forced.push_back(entry);
    }
    EXPECT_EQ(forced, concat({{killing_line(812)}, c.forced})) << c.label;
  }
}

TEST_F(SquidStop, ARefusedSignalEndsTheRun) {
  os_.set_file(kPidFile, "812\n");
  os_.add_process(812, kProxy);
  os_.fail_signal(812, SIGTERM, EPERM);
  EXPECT_THROW(squid_stop(os_), std::system_error);
  EXPECT_EQ(os_.lines().back(), killing_line(812));
  EXPECT_TRUE(journal_rows(db_).empty());
}

}  // namespace
}  // namespace pw
