#include "proxy/start.h"

#include <gtest/gtest.h>

#include "proxy/fixed.h"
#include "testing/fake_os.h"
#include "testing/journal_test_util.h"

namespace pw {
namespace {

const FakeProcess kProxy{.exe = kSquidBinary, .user = kProxyUser};

using SquidStart = FakeMachineTest;

// The port range's top, which max_filedesc only ever raises, then the launch,
// through the proxy's unit where systemd runs the machine, and a probe a
// second until the proxy appears or six have found none.
TEST_F(SquidStart, RaisesThePortRangeLaunchesAndProbesOnceASecond) {
  const std::string direct = "/usr/sbin/squid -sYC -f /etc/squid3/squid.conf >/dev/null 2>&1";
  const struct {
    long long max_filedesc;
    const char* top;
    bool systemd;
    int appears;  // seconds after the launch; 6: never
  } cases[] = {{0, "65535", false, 0},    {-1, "65535", true, 0},     {1024, "65535", false, 2},
               {65535, "65535", true, 6}, {65536, "65536", false, 0}, {100000, "100000", true, 5}};
  for (const auto& c : cases) {
    FakeMachine machine;
    FakeOs& os = machine.os_;
    os.set_setting("max_filedesc", c.max_filedesc);
    if (c.systemd) os.boot_with_systemd();
    const std::string launch = c.systemd ? "/usr/libexec/proxywarden/launch-squid" : direct;
    const auto appear = [&os] { os.add_process(901, kProxy); };
    c.appears == 0 ? os.on_shell(launch, appear) : os.after_seconds(c.appears, appear);
    EXPECT_EQ(squid_start(os), c.appears < 6) << c.max_filedesc;
    std::vector<std::string> expected{
        std::string("[Starting]......: Proxy ip_local_port_range: ") + c.top,
        "$ /sbin/sysctl -w net.ipv4.ip_local_port_range=\"8000 " + std::string(c.top) + "\"",
        "[Starting]......: Proxy service", "$ " + launch};
    for (int probe = 0; probe <= std::min(c.appears, 5); ++probe) {
      expected.push_back("[Starting]......: Proxy service waiting " + std::to_string(probe) + "...");
      if (probe < c.appears) expected.emplace_back("~ sleep 1");
    }
    expected.insert(expected.end(), {"@ journal", c.appears < 6 ? "[Starting]......: Proxy service success pid 901..."
                                                                : "[Starting]......: Proxy service [FAILED]..."});
    EXPECT_EQ(os.trace(), expected) << c.max_filedesc;
    const auto rows = journal_rows(machine.db_);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].zdate, FakeOs::kEpochStart + c.appears);
    EXPECT_EQ(journal_events(machine.db_)[0],
              c.appears < 6 ? "2 Success Starting proxy service with PID 901" : "0 Failed to start proxy service");
  }
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

}  // namespace
}  // namespace pw
