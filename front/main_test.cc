// The built program as a whole, where only a unit test can reach it: a helper
// library that lacks an operation, and the run's status.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>

#include "testing/test_util.h"

namespace pw {
namespace {

// A failure, output that cannot be written, and a request to end that came
// meanwhile, each in the status: a run that does nothing ends with 0. The
// output goes to a full device, with /run (where the PID file would be) a
// private empty one.
TEST(Program, EndsWithAStatusThatTellsWhatWentWrong) {
  const std::string built = std::filesystem::path(PROXYWARDEN_BINARY).parent_path();
  const std::string lacking = "proxywarden: the helper library libunix.so lacks GET_INFO_INT\n";
  const std::vector<std::string> pid_to_a_full_device{
      "/usr/bin/unshare", "--mount", "/bin/sh", "-c", "mount -t tmpfs none /run && exec \"$0\" pid >/dev/full",
      PROXYWARDEN_BINARY};
  const struct {
    std::vector<std::string> argv;
    std::string library, raise_at_load;
    int status;
    std::string err;
  } cases[] = {
      {{PROXYWARDEN_BINARY, "pid"}, INCOMPLETE_HELPER_LIBRARY_DIR, "0", 1, lacking},
      {{PROXYWARDEN_BINARY, "pid"}, INCOMPLETE_HELPER_LIBRARY_DIR, "1", 128 + SIGTERM, lacking},
      {{PROXYWARDEN_BINARY, "status"}, built, "0", 0, ""},
      {pid_to_a_full_device, built, "0", 1, "proxywarden: write to standard output: No space left on device\n"},
  };
  for (const auto& c : cases) {
    const auto run = run_program(c.argv, {"LD_LIBRARY_PATH=" + c.library, "RAISE_AT_LOAD=" + c.raise_at_load});
    if (run.err.starts_with("unshare:") || run.err.starts_with("mount:")) GTEST_SKIP() << run.err;
    EXPECT_EQ(run.status, c.status) << c.argv.back();
    EXPECT_EQ(run.out, "") << c.argv.back();
    EXPECT_EQ(run.err, c.err) << c.argv.back();
  }
}

}  // namespace
}  // namespace pw
