#include "proxy/identity.h"

#include <gtest/gtest.h>

#include <optional>

#include "proxy/fixed.h"

namespace pw {
namespace {

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
    bool other_root = false;                 // a process of a chroot or a container beside this system
  } cases[] = {
      {"the proxy user's proxy", kSquidBinary, 0, kProxyUser, false, kMain, kMain},
      {"another system's proxy", kSquidBinary, 0, kProxyUser, false, kNeither, kNeither, true},
      {"another system's helper", "/usr/lib/squid/pinger", 0, kProxyUser, false, kNeither, kNeither, true},
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
  };
  for (const auto& c : cases) {
    Snapshot seen;
    seen.pid = kPid;
    seen.own_pid = !c.thread;
    seen.own_root = !c.other_root;
    seen.exe = c.exe;
    if (c.exe_error != 0) seen.exe_error = std::system_error(c.exe_error, std::generic_category(), "readlink");
    seen.owner = c.owner;
    for (const auto& [candidate, expected] : {std::pair{kPid, c.named}, std::pair{0, c.unnamed}}) {
      if (expected) {
        EXPECT_EQ(verdict_of(seen, candidate), *expected) << c.label << ", candidate " << candidate;
      } else {
        EXPECT_THROW(verdict_of(seen, candidate), std::system_error) << c.label << ", candidate " << candidate;
      }
    }
  }
}

}  // namespace
}  // namespace pw
