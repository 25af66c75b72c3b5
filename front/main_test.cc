// The built program as a whole: start-up, silence and exit statuses.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <utility>

#include "platform/fixed.h"
#include "testing/test_util.h"

namespace pw {
namespace {

Finished run_with_library_dir(const std::string& dir, const std::vector<std::string>& arguments,
                              Streams streams = Streams::kApart) {
  std::vector<std::string> argv{PROXYWARDEN_BINARY};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return run_program(argv, {"LD_LIBRARY_PATH=" + dir}, streams);
}

TEST(Program, WithoutAnActionWordIsSilentAndSucceeds) {
  for (const auto& arguments :
       std::vector<std::vector<std::string>>{{}, {"START"}, {"Start"}, {"status"}, {"--help"}, {"stop-now"}, {""}}) {
    const auto run = run_with_library_dir(HELPER_LIBRARY_BUILD_DIR, arguments, Streams::kTogether);
    EXPECT_EQ(run.status, 0) << (arguments.empty() ? "" : arguments[0]);
    EXPECT_EQ(run.out, "");
  }
}

TEST(Program, AHelperLibraryLackingAnOperationEndsTheRun) {
  // A request to end that came meanwhile waits for the diagnostic, then ends the run.
  for (const auto& [raise_at_load, status] : {std::pair{"0", 1}, {"1", 128 + SIGTERM}}) {
    const auto run = run_program({PROXYWARDEN_BINARY, "pid"},
                                 {std::string("LD_LIBRARY_PATH=") + INCOMPLETE_HELPER_LIBRARY_DIR,
                                  std::string("RAISE_AT_LOAD=") + raise_at_load},
                                 Streams::kTogether);
    EXPECT_EQ(run.status, status) << raise_at_load;
    EXPECT_EQ(run.out, "proxywarden: the helper library libunix.so lacks GET_INFO_INT\n") << raise_at_load;
  }
}

TEST(Program, AMissingHelperLibraryEndsTheRun) {
  if (::access(kHelperLibraryPath, F_OK) == 0) GTEST_SKIP() << "the helper library is installed on this machine";
  TempDir empty;
  const auto run = run_with_library_dir(empty.path(), {"pid"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
  EXPECT_EQ(run.err.rfind("proxywarden: cannot load the helper library libunix.so: ", 0), 0u) << run.err;
}

}  // namespace
}  // namespace pw
