#include "proxy/sweep.h"

#include <gtest/gtest.h>

#include <csignal>

#include "proxy/fixed.h"
#include "testing/fake_os.h"

namespace pw {
namespace {

const FakeProcess kProxy{.exe = kSquidBinary, .user = kProxyUser};

TEST(AllPids, SelectsProcessesOfTheProxyUserWithAPath) {
  FakeOs os;
  os.add_process(10, {.exe = "/usr/lib/squid/log_file_daemon", .user = kProxyUser});
  os.add_process(11, {.exe = kSquidBinary, .user = "root"});
  os.add_process(12, {.exe = "", .user = kProxyUser});
  os.add_process(13, {.exe = "/bin/sh", .user = "SQUID"});
  os.add_process(14, {.exe = "/bin/sh", .user = "squid3"});
  os.add_process(9, kProxy);
  EXPECT_EQ(all_pids(os), (std::vector<Pid>{10, 9}));
}

TEST(AllPids, PassesOverEndedProcessesAndOtherUsersUnreadableOnes) {
  FakeOs os;
  os.add_process(1, {.exe = "/usr/sbin/sshd"});
  os.add_process(2, kProxy);
  os.add_process(3, kProxy);
  os.add_process(4, {.exe = "/home/u/deep/program", .user = "u"});
  os.fail_query(1, "exe", EACCES);
  os.on_query(2, "user", [&] { os.end_process(2); });
  os.fail_query(4, "exe", ENAMETOOLONG);
  EXPECT_EQ(all_pids(os), std::vector<Pid>{3});

  // What cannot be read of the proxy user's processes, a failed name lookup and
  // a failed listing end the run rather than hide a process.
  os.fail_query(3, "exe", EACCES);
  EXPECT_THROW(all_pids(os), std::system_error);
  os.fail_query(3, "exe", 0);
  os.fail_query(3, "user", EIO);
  EXPECT_THROW(all_pids(os), std::system_error);
  FakeOs listing;
  listing.fail_listing(ENOMEM);
  EXPECT_THROW(all_pids(listing), std::system_error);
}

TEST(GostsStop, WithNothingLeftListsOnce) {
  FakeOs os;
  os.add_process(5, {.exe = kSquidBinary, .user = "root"});
  EXPECT_TRUE(gosts_stop(os));
  EXPECT_EQ(os.trace(), std::vector<std::string>{"[Stopping]......: No other processes."});
}

TEST(GostsStop, SignalsEveryProxyUserProcess) {
  FakeOs os;
  os.add_process(20, kProxy);
  os.add_process(21, {.exe = "/usr/lib/squid/pinger", .user = kProxyUser});
  EXPECT_TRUE(gosts_stop(os));
  EXPECT_EQ(os.trace(), (std::vector<std::string>{
                            "[Stopping]......: Terminate process 20 [/usr/sbin/squid]",
                            signal_entry(20, SIGTERM),
                            signal_entry(20, SIGKILL),
                            "[Stopping]......: Terminate process 21 [/usr/lib/squid/pinger]",
                            signal_entry(21, SIGTERM),
                            signal_entry(21, SIGKILL),
                            "[Stopping]......: No other processes.",
                        }));
}

TEST(GostsStop, AFailureWithOneProcessIsReportedAndTheSweepGoesOn) {
  FakeOs os;
  os.add_process(30, kProxy);  // ends on SIGTERM: no failure for its SIGKILL
  os.add_process(31, kProxy);  // ends with 30, listed but not yet opened
  os.add_process(32, kProxy);  // refuses signals
  os.add_process(33, kProxy);
  os.on_signal(30, SIGTERM, [&] {
    os.end_process(30);
    os.end_process(31);
  });
  os.fail_signal(32, SIGTERM, EPERM);
  EXPECT_FALSE(gosts_stop(os));  // 32 is still there
  EXPECT_EQ(os.trace(), (std::vector<std::string>{
                            "[Stopping]......: Terminate process 30 [/usr/sbin/squid]",
                            signal_entry(30, SIGTERM),
                            "[Stopping]......: Terminated process 31 []",
                            "[Stopping]......: Terminate process 32 [/usr/sbin/squid]",
                            "[Stopping]......: Terminated process 32 [/usr/sbin/squid]",
                            "[Stopping]......: Terminate process 33 [/usr/sbin/squid]",
                            signal_entry(33, SIGTERM),
                            signal_entry(33, SIGKILL),
                        }));
}

TEST(GostsStop, SignalsOnlyAProcessItsHandleStillShowsAsTheProxyUsers) {
  FakeOs os;
  os.add_process(30, kProxy);
  os.add_process(31, kProxy);
  // Once the sweep has looked at 30, root's program takes its PID, and root's
  // sshd takes 31, listed but not yet opened.
  os.on_line("[Stopping]......: Terminate process 30 [/usr/sbin/squid]", [&] {
    os.add_process(30, {.exe = kSquidBinary, .user = "root"});
    os.add_process(31, {.exe = "/usr/sbin/sshd", .user = "root"});
  });
  EXPECT_TRUE(gosts_stop(os));
  EXPECT_EQ(os.trace(), (std::vector<std::string>{
                            "[Stopping]......: Terminate process 30 [/usr/sbin/squid]",
                            "[Stopping]......: Terminated process 30 [/usr/sbin/squid]",
                            "[Stopping]......: Terminated process 31 []",
                            "[Stopping]......: No other processes.",
                        }));
  EXPECT_TRUE(os.has_process(30));
  EXPECT_TRUE(os.has_process(31));
}

TEST(GostsStop, AProcessRespawnedAtOnceLeavesTheSweepFalse) {
  FakeOs os;
  os.add_process(40, kProxy);
  os.on_signal(40, SIGKILL, [&] { os.add_process(41, kProxy); });
  EXPECT_FALSE(gosts_stop(os));
  EXPECT_EQ(os.lines().back(), "[Stopping]......: Terminate process 40 [/usr/sbin/squid]");
}

TEST(ListForm, QuotesEachArgument) {
  const struct {
    std::vector<std::string> arguments;
    const char* form;
  } cases[] = {
      {{}, "[]"},
      {{"/usr/sbin/squid", "-f", "/etc/squid3/squid.conf"}, "['/usr/sbin/squid', '-f', '/etc/squid3/squid.conf']"},
      {{""}, "['']"},
      {{"it's"}, R"(["it's"])"},
      {{"say \"hi\""}, R"(['say "hi"'])"},
      {{"it's \"x\""}, R"(['it\'s "x"'])"},
      {{"a\\b"}, R"(['a\\b'])"},
      {{"it's a\\b"}, R"(["it's a\\b"])"},
      {{"t\tn\nr\r"}, R"(['t\tn\nr\r'])"},
      {{std::string("\0\x01\x1f\x7f", 4)}, R"(['\x00\x01\x1f\x7f'])"},
      {{"caf\xc3\xa9"}, R"(['caf\xc3\xa9'])"},
      {{"(squid-1)", "--kid", "squid-1"}, "['(squid-1)', '--kid', 'squid-1']"},
  };
  for (const auto& c : cases) EXPECT_EQ(list_form(c.arguments), c.form) << c.form;
}

TEST(PsAux, PrintsOneLinePerProxyUserProcess) {
  FakeOs os;
  os.add_process(2345, {.exe = kSquidBinary,
                        .user = kProxyUser,
                        .parent = 2340,
                        .command_line = {"/usr/sbin/squid", "-f", "/etc/squid3/squid.conf"}});
  os.add_process(2346, {.exe = kSquidBinary, .user = "root", .parent = 1});
  os.add_process(2347, {.exe = "/usr/lib/squid/pinger", .user = kProxyUser, .parent = 2345});
  os.add_process(2348, {.exe = "", .user = kProxyUser});
  ps_aux(os);
  EXPECT_EQ(os.trace(), (std::vector<std::string>{
                            "[2345] '/usr/sbin/squid'[['/usr/sbin/squid', '-f', '/etc/squid3/squid.conf']] (2340)",
                            "[2347] '/usr/lib/squid/pinger'[[]] (2345)",
                        }));
}

TEST(PsAux, PassesOverAProcessEndingWhileRead) {
  FakeOs os;
  os.add_process(1, kProxy);
  os.add_process(2, kProxy);
  os.on_query(1, "cmdline", [&] { os.end_process(1); });
  ps_aux(os);
  EXPECT_EQ(os.lines(), std::vector<std::string>{"[2] '/usr/sbin/squid'[[]] (1)"});
}

TEST(PsAux, EscapesControlCharactersInAPath) {
  FakeOs os;
  os.add_process(7, {.exe = "/tmp/x\n[1] '/usr/sbin/squid'[[]] (0)", .user = kProxyUser, .parent = 1});
  os.add_process(8, {.exe = "/tmp/t\tr\rdel\x7f\x01 caf\xc3\xa9 a\\b", .user = kProxyUser, .parent = 1});
  ps_aux(os);
  gosts_stop(os);
  EXPECT_EQ(os.lines(), (std::vector<std::string>{
                            "[7] '/tmp/x\\n[1] '/usr/sbin/squid'[[]] (0)'[[]] (1)",
                            "[8] '/tmp/t\\tr\\rdel\\x7f\\x01 caf\xc3\xa9 a\\b'[[]] (1)",
                            "[Stopping]......: Terminate process 7 [/tmp/x\\n[1] '/usr/sbin/squid'[[]] (0)]",
                            "[Stopping]......: Terminate process 8 [/tmp/t\\tr\\rdel\\x7f\\x01 caf\xc3\xa9 a\\b]",
                            "[Stopping]......: No other processes.",
                        }));
}

TEST(PsAux, PrintsNothingWithoutProxyUserProcesses) {
  FakeOs os;
  os.add_process(1, {.exe = "/sbin/init"});
  ps_aux(os);
  EXPECT_TRUE(os.trace().empty());
}

}  // namespace
}  // namespace pw
