#include "proxy/discovery.h"

#include <gtest/gtest.h>

#include <functional>

#include "proxy/fixed.h"
#include "testing/fake_os.h"

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

TEST(SquidPid, ScansWhenThePidFileHoldsNoUsablePid) {
  const std::string past_the_bound = std::string(kPidFileLimit - 3, ' ') + "812";
  for (const std::string content : {"", "0", "-1", "squid\n", "12.5", "99999999999999999999", "4242\n"}) {
    FakeOs os;  // PID 4242 does not run
    os.add_process(900, kProxy);
    os.set_file(kPidFile, content);
    EXPECT_EQ(squid_pid(os), 900) << '"' << content << '"';
  }
  FakeOs os;
  os.add_process(812, {.exe = kSquidBinary, .user = "root"});  // named by the file alone
  os.add_process(900, kProxy);
  os.set_file(kPidFile, past_the_bound);
  EXPECT_EQ(squid_pid(os), 812);
  os.set_file(kPidFile, past_the_bound + " ");  // one byte more than is read
  EXPECT_EQ(squid_pid(os), 900);
  os.set_file(kPidFile, "812\n");
  os.set_unreadable(kPidFile);  // a FIFO with a silent writer, say
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
      // Debian 13's builds, behind the /usr/sbin/squid alternatives link.
      {"GnuTLS build", {{7, {.exe = "/usr/sbin/squid-gnutls", .user = kProxyUser}}}, 7},
      {"OpenSSL build", {{7, {.exe = "/usr/sbin/squid-openssl", .user = kProxyUser}}}, 7},
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

TEST(SquidPid, AnUnreadablePathIsPassedOverOnlyForAnotherUser) {
  const struct {
    const char* label;
    int exe_error;
    const char* owner;
    bool ends_run;
  } cases[] = {
      // An error of the path's read is no end of the process, whatever its number.
      {"ESRCH, another user's", ESRCH, "root", false},
      {"ENOENT, the proxy user's", ENOENT, kProxyUser, true},
      {"not permitted, another user's", EPERM, "postfix", false},
      {"refused, the proxy user's", EACCES, kProxyUser, true},
      {"path too long, the proxy user's", ENAMETOOLONG, kProxyUser, true},
  };
  for (const auto& c : cases) {
    FakeOs os;
    os.add_process(1, {.exe = kSquidBinary, .user = c.owner});
    os.fail_query(1, "exe", c.exe_error);
    os.add_process(2, kProxy);
    if (c.ends_run) {
      EXPECT_THROW(squid_pid(os), std::system_error) << c.label;
    } else {
      EXPECT_EQ(squid_pid(os), 2) << c.label;
    }
  }
}

TEST(SquidPid, TheOwnerIsReadOnlyForAProxyPathOrAnUnreadablePath) {
  FakeOs os;
  os.add_process(1, {.exe = "/bin/sh"});
  os.add_process(2, {.exe = kSquidBinary});
  os.add_process(3, {});
  os.fail_query(3, "exe", EACCES);
  std::vector<Pid> asked;
  for (const Pid pid : {1, 2, 3}) os.on_query(pid, "user", [&asked, pid] { asked.push_back(pid); });
  EXPECT_EQ(squid_pid(os), std::nullopt);
  EXPECT_EQ(asked, (std::vector<Pid>{2, 3}));
}

TEST(SquidPid, JudgesThePidFilesProcessAndEndsTheRunOnlyOnAnUnexpectedFailure) {
  constexpr Pid kEndsRun = -1;
  const struct {
    const char* label;
    std::function<void(FakeOs&)> arrange;
    std::optional<Pid> found;
  } cases[] = {
      {"the file names root's proxy, which a scan would pass over",
       [](FakeOs& os) { os.add_process(812, {.exe = kSquidBinary, .user = "root"}); }, 812},
      {"the file names another program", [](FakeOs& os) { os.add_process(812, {.exe = "/bin/bash"}); }, 900},
      {"the file names a process whose path may not be read",
       [](FakeOs& os) {
         os.add_process(812, {.exe = "/usr/bin/bash"});
         os.fail_query(812, "exe", EACCES);
       },
       812},
      {"the file's process ends while examined",
       [](FakeOs& os) {
         os.add_process(812, kProxy);
         os.on_query(812, "exe", [&os] { os.end_process(812); });
       },
       900},
      {"a scanned process ends between path and owner",
       [](FakeOs& os) {
         os.add_process(901, kProxy);
         os.on_query(900, "user", [&os] { os.end_process(900); });
       },
       901},
      {"the file is removed once read",
       [](FakeOs& os) {
         os.add_process(812, kProxy);
         os.after_read(kPidFile, [&os] { os.remove_file(kPidFile); });
       },
       812},
      {"a name lookup fails", [](FakeOs& os) { os.fail_query(900, "user", EMFILE); }, kEndsRun},
      {"the listing fails", [](FakeOs& os) { os.fail_listing(EIO); }, kEndsRun},
      {"a process cannot be opened", [](FakeOs& os) { os.fail_query(900, "open", EMFILE); }, kEndsRun},
      {"the file cannot be opened", [](FakeOs& os) { os.set_unopenable(kPidFile, EISDIR); }, kEndsRun},
  };
  for (const auto& c : cases) {
    FakeOs os;
    os.add_process(900, kProxy);
    os.set_file(kPidFile, "812\n");
    c.arrange(os);
    if (c.found == kEndsRun) {
      EXPECT_THROW(squid_pid(os), std::system_error) << c.label;
    } else {
      EXPECT_EQ(squid_pid(os), c.found) << c.label;
    }
  }
  FakeOs os;  // with no proxy left, none
  os.add_process(812, {.exe = "/usr/bin/bash", .user = kProxyUser});
  os.set_file(kPidFile, "812");
  EXPECT_EQ(squid_pid(os), std::nullopt);
}

}  // namespace
}  // namespace pw
