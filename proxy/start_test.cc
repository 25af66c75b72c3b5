#include "proxy/start.h"

#include <gtest/gtest.h>

#include "platform/text.h"
#include "proxy/fixed.h"
#include "testing/fake_os.h"
#include "testing/journal_test_util.h"

namespace pw {
namespace {

const FakeProcess kProxy{.exe = kSquidBinary, .user = kProxyUser};

using SquidStart = FakeMachineTest;

TEST_F(SquidStart, FindsTheProxyAtTheFirstProbe) {
  // Where systemd runs the machine, the launch goes through the proxy's unit.
  for (const bool systemd : {false, true}) {
    const std::string launch = systemd ? kLaunchUnitCommand : kLaunchCommand;
    FakeOs os(db_);
    if (systemd) os.boot_with_systemd();
    os.on_shell(launch, [&] { os.add_process(901, kProxy); });
    EXPECT_TRUE(squid_start(os));
    EXPECT_EQ(os.trace(), (std::vector<std::string>{
                              "[Starting]......: Proxy ip_local_port_range: 65535",
                              shell_entry(fill(kPortRangeCommand, {kSysctl, "65535"})),
                              "[Starting]......: Proxy service",
                              "$ " + launch,
                              "[Starting]......: Proxy service waiting 0...",
                              kJournalEntry,
                              "[Starting]......: Proxy service success pid 901...",
                          }));
  }
  EXPECT_EQ(journal_events(db_), std::vector<std::string>(2, "2 Success Starting proxy service with PID 901"));
}

TEST_F(SquidStart, ProbesOncePerSecondUntilTheProxyAppearsAndGivesUpAfterSix) {
  for (const int appears : {2, 6}) {  // at the third probe, or never
    FakeOs os(db_);
    if (appears < 6) os.after_seconds(appears, [&] { os.add_process(901, kProxy); });
    EXPECT_EQ(squid_start(os), appears < 6);
    std::vector<std::string> expected;
    for (int probe = 0; probe <= std::min(appears, 5); ++probe) {
      expected.push_back(fill(kProbeLine, {std::to_string(probe)}));
      if (probe < appears) expected.push_back(sleep_entry(1));
    }
    expected.insert(expected.end(), {kJournalEntry, appears < 6 ? fill(kStartedLine, {"901"}) : kStartFailedLine});
    EXPECT_EQ(std::vector<std::string>(os.trace().begin() + 4, os.trace().end()), expected) << appears;
  }
  const auto rows = journal_rows(db_);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].zdate, FakeOs::kEpochStart + 2);
  EXPECT_EQ(journal_events(db_)[1], "0 Failed to start proxy service");
}

TEST_F(SquidStart, AProxyRunningOrOneNamedByThePidFileLaunchesNothing) {
  for (const auto& [pid, proxy] : {std::pair{812, kProxy}, {77, FakeProcess{.exe = kSquidBinary, .user = "root"}}}) {
    FakeOs os(db_);
    os.add_process(pid, proxy);
    os.set_file(kPidFile, "77\n");
    EXPECT_FALSE(squid_start(os));
    EXPECT_EQ(os.trace(), std::vector<std::string>{"[Starting]......: Already started pid " + std::to_string(pid)});
    EXPECT_EQ(os.settings_read(), std::vector<std::string>{"max_filedesc"});
  }
  EXPECT_TRUE(journal_rows(db_).empty());
}

// Squid refuses to start while its PID file names any live process: a file that
// names no proxy goes before the launch, unless it was rewritten meanwhile.
TEST_F(SquidStart, RemovesAPidFileThatNamesNoProxyBeforeTheLaunch) {
  const struct {
    const char* label;
    const char* content;  // nullptr: no PID file
    bool removed;
    const char* rewritten = nullptr;  // once the start has read it
  } cases[] = {{"a root shell's PID", "77\n", true},
               {"a PID that nothing has", "4194303\n", true},
               {"no PID file", nullptr, false},
               {"rewritten meanwhile", "77\n", false, "78\n"}};
  for (const auto& c : cases) {
    FakeOs os(db_);
    os.add_process(77, {.exe = "/bin/sh"});
    if (c.content) os.set_file(kPidFile, c.content);
    if (c.rewritten) os.after_read(kPidFile, [&] { os.set_file(kPidFile, c.rewritten); });
    squid_start(os);
    EXPECT_EQ(os.trace().at(0) == "rm /var/run/squid/squid.pid", c.removed) << c.label;
    EXPECT_EQ(os.trace().at(c.removed ? 4 : 3), "$ /usr/sbin/squid -sYC -f /etc/squid3/squid.conf >/dev/null 2>&1")
        << c.label;
  }
}

TEST_F(SquidStart, MaxFiledescOnlyEverRaisesThePortRangeTop) {
  const struct {
    long long setting;
    const char* top;
  } cases[] = {{0, "65535"}, {-1, "65535"}, {1024, "65535"}, {65535, "65535"}, {65536, "65536"}, {100000, "100000"}};
  for (const auto& c : cases) {
    FakeOs os(db_);
    os.set_setting(kMaxFiledesc, c.setting);
    os.on_shell(kLaunchCommand, [&] { os.add_process(901, kProxy); });
    squid_start(os);
    EXPECT_EQ(os.lines()[0], fill(kPortRangeLine, {c.top})) << c.setting;
    EXPECT_EQ(os.trace()[1], shell_entry(fill(kPortRangeCommand, {kSysctl, c.top}))) << c.setting;
  }
}

}  // namespace
}  // namespace pw
