#include "proxy/identity.h"

#include <gtest/gtest.h>

#include <optional>
#include <sstream>

#include "proxy/fixed.h"
#include "testing/fake_os.h"

namespace pw {
namespace {

// What one look shows a process to be, with and without the PID file naming it.
TEST(VerdictOf, JudgesWhatOneLookSawWithAndWithoutThePidFilesCandidate) {
  constexpr Pid kPid = 812;
  const std::optional<std::string> kNotTaken;
  constexpr std::optional<Identity> kEndsRun;  // the path's error ends the run
  constexpr auto kMain = Identity::kMain, kUser = Identity::kProxyUser, kNeither = Identity::kNeither;
  const struct {
    const char* label;
    std::string exe;
    int exe_error;  // the path could not be read
    std::optional<std::string> owner;
    bool thread;
    std::optional<Identity> named, unnamed;  // the PID file names it, or names none
    const char* command = "";                // its command line's words; "" when unreadable
    bool other_root = false;                 // a process of a chroot or a container beside this system
  } cases[] = {
      {"the proxy user's proxy", kSquidBinary, 0, kProxyUser, false, kMain, kMain},
      {"another system's proxy", kSquidBinary, 0, kProxyUser, false, kNeither, kNeither, "", true},
      {"another system's helper", "/usr/lib/squid/pinger", 0, kProxyUser, false, kNeither, kNeither, "", true},
      {"a longer path", "/opt/usr/sbin/squid-6", 0, kProxyUser, false, kMain, kMain},
      {"the proxy user's helper", "/usr/lib/squid/pinger", 0, kProxyUser, false, kUser, kUser},
      {"the proxy user's, without a path", "", 0, kProxyUser, false, kNeither, kNeither},
      {"root's proxy", kSquidBinary, 0, "root", false, kMain, kNeither},
      {"a name differing in case", kSquidBinary, 0, "Squid", false, kMain, kNeither},
      {"owner not looked at", kSquidBinary, 0, kNotTaken, false, kMain, kNeither},
      {"root's shell", "/bin/sh", 0, "root", false, kNeither, kNeither},
      {"a thread of the proxy", kSquidBinary, 0, kProxyUser, true, kNeither, kNeither},
      {"path refused, owner not looked at", "", EACCES, kNotTaken, false, kMain, kNeither},
      {"root's, path refused", "", EACCES, "root", false, kMain, kNeither},
      {"the proxy user's, path refused", "", EPERM, kProxyUser, false, kMain, kEndsRun},
      {"another user's, path too long", "", ENAMETOOLONG, "nobody", false, kEndsRun, kNeither},
      {"the proxy user's, path too long", "", ENAMETOOLONG, kProxyUser, false, kEndsRun, kEndsRun},
      // Squid's control commands (options k and z) are never the proxy.
      {"a kid", kSquidBinary, 0, kProxyUser, false, kMain, kMain, "(squid-1) --kid squid-1 --foreground -sYC -f c"},
      {"a kill command", kSquidBinary, 0, kProxyUser, false, kUser, kUser, "squid -f /etc/squid3/squid.conf -k kill"},
      {"root's rotate, bundled", kSquidBinary, 0, "root", false, kNeither, kNeither, "squid -sk rotate"},
      {"cache directories made", kSquidBinary, 0, kProxyUser, false, kUser, kUser, "squid --foreground -Nz -f c"},
      {"-f's values", kSquidBinary, 0, kProxyUser, false, kMain, kMain, "squid -f -kill.conf -fkz.conf"},
      {"-m's value in its word", kSquidBinary, 0, kProxyUser, false, kMain, kMain, "squid -mz"},
      {"-m's value only in its word", kSquidBinary, 0, kProxyUser, false, kUser, kUser, "squid -m -z"},
      {"--kid's value, abbreviated", kSquidBinary, 0, kProxyUser, false, kMain, kMain, "squid --ki -z"},
      {"--kid's value in its word", kSquidBinary, 0, kProxyUser, false, kUser, kUser, "squid --kid=-s -z"},
      {"a name like an option; --", kSquidBinary, 0, kProxyUser, false, kMain, kMain, "-z -sYC -- -k kill"},
  };
  for (const auto& c : cases) {
    Snapshot seen;
    seen.pid = kPid;
    seen.own_pid = !c.thread;
    seen.own_root = !c.other_root;
    seen.exe = c.exe;
    if (c.exe_error != 0) seen.exe_error = std::system_error(c.exe_error, std::generic_category(), "readlink");
    seen.owner = c.owner;
    std::istringstream words(c.command);
    for (std::string word; words >> word;) seen.command_line.push_back(word);
    for (const auto& [candidate, expected] : {std::pair{kPid, c.named}, std::pair{0, c.unnamed}}) {
      if (expected) {
        EXPECT_EQ(verdict_of(seen, candidate), *expected) << c.label << ", candidate " << candidate;
      } else {
        EXPECT_THROW(verdict_of(seen, candidate), std::system_error) << c.label << ", candidate " << candidate;
      }
    }
  }
}

// A walk of the process table at each level, with no candidate: the glance by
// PID passes over what cannot qualify before a handle is opened or an owner
// named, and what cannot be judged of a process that may qualify ends the run.
TEST(WalkProcesses, VisitsWhatQualifiesAndEndsTheRunOnWhatCannotBeJudged) {
  enum Walk { kPassed, kVisited, kEndsRun };
  const FakeProcess proxy{.exe = kSquidBinary, .user = kProxyUser};
  const FakeProcess kill_command{.exe = kSquidBinary, .user = kProxyUser, .command_line = {"squid", "-k", "kill"}};
  const struct {
    const char* label;
    FakeProcess process;  // PID 7, listed before a proxy at PID 9
    Walk main, user;      // at the levels kMain and kProxyUser
    const char* query = "";
    int err = 0;  // that query's failure; -1: the process ends before it
  } cases[] = {
      {"the proxy", proxy, kVisited, kVisited},
      {"the proxy user's helper", {.exe = "/usr/lib/squid/pinger", .user = kProxyUser}, kPassed, kVisited},
      {"a kill command", kill_command, kPassed, kVisited},
      {"another system's proxy", {.exe = kSquidBinary, .user = kProxyUser, .other_root = true}, kPassed, kPassed},
      {"another user's, path refused", {.exe = kSquidBinary}, kPassed, kPassed, "exe", EACCES},
      {"the proxy user's, path refused", proxy, kEndsRun, kEndsRun, "exe", EACCES},
      {"another program, whose owner cannot be named", {.exe = "/bin/sh"}, kPassed, kEndsRun, "user", EMFILE},
      {"the proxy, ending before its owner is read", proxy, kPassed, kPassed, "user", -1},
      {"the proxy, which cannot be opened", proxy, kEndsRun, kEndsRun, "open", EMFILE},
  };
  for (const auto& c : cases) {
    for (const auto& level : {std::pair{Identity::kMain, c.main}, std::pair{Identity::kProxyUser, c.user}}) {
      const Identity least = level.first;
      const Walk expected = level.second;
      FakeOs os;
      os.add_process(7, c.process);
      os.add_process(9, proxy);
      if (c.err > 0) os.fail_query(7, c.query, c.err);
      if (c.err < 0) os.on_query(7, c.query, [&os] { os.end_process(7); });
      std::vector<Pid> visited;
      const auto walk = [&] {
        walk_processes(os, least, 0, Look::kOwner, [&](const Snapshot& seen) {
          visited.push_back(seen.pid);
          return true;
        });
      };
      const auto label = std::string(c.label) + (least == Identity::kMain ? ", main" : ", proxy user's");
      if (expected == kEndsRun) {
        EXPECT_THROW(walk(), std::system_error) << label;
      } else {
        walk();
        EXPECT_EQ(visited, (expected == kVisited ? std::vector<Pid>{7, 9} : std::vector<Pid>{9})) << label;
      }
    }
  }
}

}  // namespace
}  // namespace pw
