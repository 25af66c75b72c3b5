#include "proxy/discovery.h"

#include <gtest/gtest.h>

#include "platform/fake_os.h"
#include "proxy/fixed.h"

namespace pw {
namespace {

const FakeProcess kProxy{.exe = kSquidBinary, .user = kProxyUser};

TEST(PidFileNumber, TakesOnlyAUsablePid) {
  const struct {
    const char* content;
    Pid pid;
  } cases[] = {
      {"812\n", 812},
      {"  812  ", 812},
      {"+812", 812},
      {"0", 0},
      {"-812", 0},
      {"squid", 0},
      {"", 0},
      {"812.0", 0},
      {"2147483647", 2147483647},
      {"2147483648", 0},
      {"99999999999999999999", 0},
  };
  for (const auto& c : cases) EXPECT_EQ(pid_file_number(c.content), c.pid) << '"' << c.content << '"';
}

TEST(SquidPid, TrustsAPidFileNamingARunningProxy) {
  FakeOs os;
  os.add_process(5, kProxy);  // would win a scan
  os.add_process(812, {.exe = kSquidBinary, .user = "root"});
  os.set_file(kPidFile, "812\n");
  EXPECT_EQ(squid_pid(os), 812);
}

TEST(SquidPid, ScansWhenThePidFileHoldsNoUsablePid) {
  for (const char* content : {"", "0", "-1", "squid\n", "12.5", "99999999999999999999", "4242\n"}) {
    FakeOs os;  // PID 4242 does not run
    os.add_process(900, kProxy);
    os.set_file(kPidFile, content);
    EXPECT_EQ(squid_pid(os), 900) << '"' << content << '"';
  }
}

TEST(SquidPid, DistrustsAPidFileNamingAnotherProgram) {
  FakeOs os;
  os.add_process(812, {.exe = "/usr/bin/bash", .user = kProxyUser});
  os.add_process(900, kProxy);
  os.set_file(kPidFile, "812");
  EXPECT_EQ(squid_pid(os), 900);

  os.end_process(900);
  EXPECT_EQ(squid_pid(os), std::nullopt);
}

TEST(SquidPid, TrustsAPidFileWhosePathItMayNotRead) {
  FakeOs os;
  os.add_process(812, {.exe = "/usr/bin/bash"});
  os.fail_queries(812, EACCES);
  os.set_file(kPidFile, "812");
  EXPECT_EQ(squid_pid(os), 812);
}

TEST(SquidPid, ScansWhenThePidFilesProcessEndsWhileExamined) {
  FakeOs os;
  os.add_process(812, kProxy);
  os.add_process(900, kProxy);
  os.set_file(kPidFile, "812");
  os.on_query(812, "exe", [&] { os.end_process(812); });
  EXPECT_EQ(squid_pid(os), 900);
}

TEST(SquidPid, ScanTakesTheFirstProxyProcessOfTheProxyUser) {
  const struct {
    const char* label;
    std::vector<std::pair<Pid, FakeProcess>> processes;
    std::optional<Pid> found;
  } cases[] = {
      {"none", {}, std::nullopt},
      {"exact path", {{7, kProxy}}, 7},
      {"longer path", {{7, {.exe = "/opt/x/usr/sbin/squid-6", .user = kProxyUser}}}, 7},
      {"root's proxy", {{7, {.exe = kSquidBinary, .user = "root"}}}, std::nullopt},
      {"user differs in case", {{7, {.exe = kSquidBinary, .user = "Squid"}}}, std::nullopt},
      {"user with more", {{7, {.exe = kSquidBinary, .user = "squid2"}}}, std::nullopt},
      {"other program", {{7, {.exe = "/usr/bin/squidclient", .user = kProxyUser}}}, std::nullopt},
      {"no executable", {{7, {.exe = "", .user = kProxyUser}}}, std::nullopt},
      {"first listed wins", {{30, kProxy}, {7, kProxy}}, 30},
      {"passes over others", {{2, {.exe = kSquidBinary}}, {3, {.exe = "/bin/sh", .user = kProxyUser}}, {4, kProxy}}, 4},
  };
  for (const auto& c : cases) {
    FakeOs os;
    for (const auto& [pid, process] : c.processes) os.add_process(pid, process);
    EXPECT_EQ(squid_pid(os), c.found) << c.label;
  }
}

TEST(SquidPid, ScanPassesOverProcessesThatCannotBeExamined) {
  for (const int err : {ESRCH, ENOENT, EACCES, EPERM}) {
    FakeOs os;
    os.add_process(1, kProxy);
    os.fail_queries(1, err);
    os.add_process(2, kProxy);
    EXPECT_EQ(squid_pid(os), 2) << err;
  }
}

TEST(SquidPid, ScanPassesOverAProcessEndingBetweenPathAndOwner) {
  FakeOs os;
  os.add_process(1, kProxy);
  os.add_process(2, kProxy);
  os.on_query(1, "user", [&] { os.end_process(1); });
  EXPECT_EQ(squid_pid(os), 2);
}

TEST(SquidPid, OtherFailuresOfTheScanEndTheRun) {
  FakeOs os;
  os.add_process(1, kProxy);
  os.fail_queries(1, EMFILE);
  EXPECT_THROW(squid_pid(os), std::system_error);
}

TEST(SquidPid, APidFileThatCannotBeOpenedEndsTheRun) {
  FakeOs os;
  os.add_process(1, kProxy);
  os.set_unopenable(kPidFile, EISDIR);
  EXPECT_THROW(squid_pid(os), std::system_error);
}

}  // namespace
}  // namespace pw
