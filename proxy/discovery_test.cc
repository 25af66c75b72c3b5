#include "proxy/discovery.h"

#include <gtest/gtest.h>

#include <functional>

#include "proxy/fixed.h"
#include "testing/fake_os.h"

namespace pw {
namespace {

const FakeProcess kProxy{.exe = kSquidBinary, .user = kProxyUser};

// The scan's order: the first proxy listed is the main one.
TEST(SquidPid, ScanTakesTheFirstProxyListed) {
  FakeOs os;
  EXPECT_EQ(squid_pid(os), std::nullopt);
  os.add_process(30, {.exe = "/bin/sh", .user = kProxyUser});
  os.add_process(20, kProxy);
  os.add_process(10, kProxy);
  EXPECT_EQ(squid_pid(os), 20);
}

// The PID file's candidate: what it names is judged by its path alone, and
// what it cannot name is left to the scan, which finds PID 900.
TEST(SquidPid, JudgesThePidFilesProcessAndEndsTheRunOnlyOnAnUnexpectedFailure) {
  constexpr Pid kEndsRun = -1;
  const std::string up_to_the_bound = std::string(kPidFileLimit - 3, ' ') + "812";
  const FakeProcess roots_proxy{.exe = kSquidBinary, .user = "root"};
  const FakeProcess roots_kill_command{.exe = kSquidBinary, .command_line = {"squid", "-k", "kill"}};
  const struct {
    const char* label;
    std::function<void(FakeOs&)> arrange;
    std::optional<Pid> found;
  } cases[] = {
      {"the file names root's proxy, which a scan would pass over",
       [&](FakeOs& os) { os.add_process(812, roots_proxy); }, 812},
      {"the file names another program", [](FakeOs& os) { os.add_process(812, {.exe = "/bin/bash"}); }, 900},
      {"the file names root's kill command", [&](FakeOs& os) { os.add_process(812, roots_kill_command); }, 900},
      {"the file names a process whose path may not be read",
       [](FakeOs& os) {
         os.add_process(812, {.exe = "/usr/bin/bash"});
         os.fail_query(812, "exe", EACCES);
       },
       812},
      {"the file names no usable PID",
       [&](FakeOs& os) {
         os.add_process(812, roots_proxy);
         os.set_file(kPidFile, "-812");
       },
       900},
      {"the file's content reaches the bound",
       [&](FakeOs& os) {
         os.add_process(812, roots_proxy);
         os.set_file(kPidFile, up_to_the_bound);
       },
       812},
      {"the file's content passes the bound",
       [&](FakeOs& os) {
         os.add_process(812, roots_proxy);
         os.set_file(kPidFile, up_to_the_bound + " ");
       },
       900},
      {"the file cannot be read at once (a FIFO with a silent writer, say)",
       [&](FakeOs& os) {
         os.add_process(812, roots_proxy);
         os.set_unreadable(kPidFile);
       },
       900},
      {"the file's process ends while examined",
       [](FakeOs& os) {
         os.add_process(812, kProxy);
         os.on_query(812, "exe", [&os] { os.end_process(812); });
       },
       900},
      {"the file is removed once read",
       [](FakeOs& os) {
         os.add_process(812, kProxy);
         os.after_read(kPidFile, [&os] { os.unset_file(kPidFile); });
       },
       812},
      {"the file names a process that does not run", [](FakeOs&) {}, 900},
      {"a name lookup fails", [](FakeOs& os) { os.fail_query(900, "user", EMFILE); }, kEndsRun},
      {"the listing fails", [](FakeOs& os) { os.fail_listing(EIO); }, kEndsRun},
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
}

}  // namespace
}  // namespace pw
