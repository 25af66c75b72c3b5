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
  const struct {
    const char* label;
    std::optional<FakeProcess> named;  // at 812
    std::function<void(FakeOs&)> arrange;
    std::optional<Pid> found;
  } cases[] = {
      {"the file names root's proxy, which a scan would pass over", roots_proxy, [](FakeOs&) {}, 812},
      {"the file names another program", FakeProcess{.exe = "/bin/bash"}, [](FakeOs&) {}, 900},
      {"the file names root's kill command", FakeProcess{.exe = kSquidBinary, .command_line = {"squid", "-k", "kill"}},
       [](FakeOs&) {}, 900},
      {"the file names a process whose path may not be read", FakeProcess{.exe = "/usr/bin/bash"},
       [](FakeOs& os) { os.fail_query(812, "exe", EACCES); }, 812},
      {"the file names no usable PID", roots_proxy, [](FakeOs& os) { os.set_file(kPidFile, "-812"); }, 900},
      {"the file's content reaches the bound", roots_proxy, [&](FakeOs& os) { os.set_file(kPidFile, up_to_the_bound); },
       812},
      {"the file's content passes the bound", roots_proxy,
       [&](FakeOs& os) { os.set_file(kPidFile, up_to_the_bound + " "); }, 900},
      {"the file cannot be read at once (a FIFO with a silent writer, say)", roots_proxy,
       [](FakeOs& os) { os.set_unreadable(kPidFile); }, 900},
      {"the file's process ends while examined", kProxy,
       [](FakeOs& os) { os.on_query(812, "exe", [&os] { os.end_process(812); }); }, 900},
      {"the file is removed once read", kProxy,
       [](FakeOs& os) { os.after_read(kPidFile, [&os] { os.remove_file(kPidFile); }); }, 812},
      {"the file names a process that does not run", std::nullopt, [](FakeOs&) {}, 900},
      {"a name lookup fails", std::nullopt, [](FakeOs& os) { os.fail_query(900, "user", EMFILE); }, kEndsRun},
      {"the listing fails", std::nullopt, [](FakeOs& os) { os.fail("listing", EIO); }, kEndsRun},
      {"the file cannot be opened", std::nullopt, [](FakeOs& os) { os.fail("open", EISDIR); }, kEndsRun},
  };
  for (const auto& c : cases) {
    FakeOs os;
    os.add_process(900, kProxy);
    if (c.named) os.add_process(812, *c.named);
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
