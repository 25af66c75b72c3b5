// The built program as a whole, where only a unit test can reach it: a helper
// library that lacks an operation.
#include <gtest/gtest.h>
#include <signal.h>

#include <utility>

#include "testing/test_util.h"

namespace pw {
namespace {

TEST(Program, AHelperLibraryLackingAnOperationEndsTheRun) {
  // A request to end that came meanwhile waits for the diagnostic, then ends the run.
  for (const auto& [raise_at_load, status] : {std::pair{"0", 1}, {"1", 128 + SIGTERM}}) {
    const auto run =
        run_program({PROXYWARDEN_BINARY, "pid"}, {std::string("LD_LIBRARY_PATH=") + INCOMPLETE_HELPER_LIBRARY_DIR,
                                                  std::string("RAISE_AT_LOAD=") + raise_at_load});
    EXPECT_EQ(run.status, status) << raise_at_load;
    EXPECT_EQ(run.out, "") << raise_at_load;
    EXPECT_EQ(run.err, "proxywarden: the helper library libunix.so lacks GET_INFO_INT\n") << raise_at_load;
  }
}

}  // namespace
}  // namespace pw
