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
  // Where systemd runs the machine, the same launch runs in a service of its own.
  for (const bool systemd : {false, true}) {
    const std::string launch =
        systemd ? "/usr/bin/systemd-run --unit=proxywarden-squid --description=\"Squid proxy of the appliance\" "
                  "--service-type=forking --collect --quiet -p Before=proxywarden.service -p After=network.target "
                  "/bin/sh -c '/usr/sbin/squid -sYC -f /etc/squid3/squid.conf >/dev/null 2>&1' >/dev/null 2>&1"
                : "/usr/sbin/squid -sYC -f /etc/squid3/squid.conf >/dev/null 2>&1";
    FakeOs os(db_);
    if (systemd) os.boot_with_systemd();
    os.on_shell(launch, [&] { os.add_process(901, kProxy); });
    EXPECT_TRUE(squid_start(os));
    EXPECT_EQ(os.trace(), (std::vector<std::string>{
                              "[Starting]......: Proxy ip_local_port_range: 65535",
                              "$ /sbin/sysctl -w net.ipv4.ip_local_port_range=\"8000 65535\"",
                              "[Starting]......: Proxy service",
                              "$ " + launch,
                              "[Starting]......: Proxy service waiting 0...",
                              kJournalEntry,
                              "[Starting]......: Proxy service success pid 901...",
                          }));
  }
  EXPECT_EQ(journal_rows(db_),
            (std::vector<JournalRow>(2, {FakeOs::kEpochStart, "", "Success Starting proxy service with PID 901",
                                         "Proxy Service", "proxywarden", 0, 2, FakeOs::kEpochStart + 604800})));
}

TEST_F(SquidStart, FindsTheProxyAtTheThirdProbe) {
  os_.after_seconds(2, [&] { os_.add_process(901, kProxy); });
  EXPECT_TRUE(squid_start(os_));
  const std::vector<std::string> tail(os_.trace().begin() + 4, os_.trace().end());
  EXPECT_EQ(tail,
            (std::vector<std::string>{fill(kProbeLine, {"0"}), sleep_entry(1), fill(kProbeLine, {"1"}), sleep_entry(1),
                                      fill(kProbeLine, {"2"}), kJournalEntry, fill(kStartedLine, {"901"})}));
  ASSERT_EQ(journal_rows(db_).size(), 1u);
  EXPECT_EQ(journal_rows(db_)[0].zdate, FakeOs::kEpochStart + 2);
}

TEST_F(SquidStart, GivesUpAfterSixProbes) {
  EXPECT_FALSE(squid_start(os_));
  EXPECT_EQ(os_.seconds_slept(), 6);
  const std::vector<std::string> tail(os_.trace().begin() + 4, os_.trace().end());
  std::vector<std::string> expected;
  for (int probe = 0; probe < 6; ++probe) {
    expected.push_back(fill(kProbeLine, {std::to_string(probe)}));
    expected.push_back(sleep_entry(1));
  }
  expected.insert(expected.end(), {kJournalEntry, "[Starting]......: Proxy service [FAILED]..."});
  EXPECT_EQ(tail, expected);
  const auto rows = journal_rows(db_);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].subject, "Failed to start proxy service");
  EXPECT_EQ(rows[0].severity, 0);
}

TEST_F(SquidStart, AlreadyRunningLaunchesNothing) {
  os_.add_process(812, kProxy);
  EXPECT_FALSE(squid_start(os_));
  EXPECT_EQ(os_.trace(), std::vector<std::string>{"[Starting]......: Already started pid 812"});
  EXPECT_EQ(os_.settings_read(), std::vector<std::string>{"max_filedesc"});
  EXPECT_TRUE(journal_rows(db_).empty());
}

TEST_F(SquidStart, AStalePidFileNamingAnyProxyCountsAsRunning) {
  os_.add_process(77, {.exe = "/usr/sbin/squid", .user = "root"});
  os_.set_file(kPidFile, "77\n");
  EXPECT_FALSE(squid_start(os_));
  EXPECT_EQ(os_.lines(), std::vector<std::string>{"[Starting]......: Already started pid 77"});
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
    EXPECT_EQ(os.shell_commands()[0], fill(kPortRangeCommand, {kSysctl, c.top})) << c.setting;
  }
}

TEST_F(SquidStart, AJournalFailureDoesNotChangeTheOutcome) {
  FakeOs os(dir_ / "missing/system_events.db");
  os.on_shell(kLaunchCommand, [&] { os.add_process(901, kProxy); });
  EXPECT_TRUE(squid_start(os));
  ASSERT_EQ(os.lines().size(), 5u);
  EXPECT_TRUE(os.lines()[3].starts_with("[ERROR]: SQL "));
  EXPECT_EQ(os.lines()[4], fill(kStartedLine, {"901"}));
}

}  // namespace
}  // namespace pw
