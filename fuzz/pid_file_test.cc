// What a PID file's content names: one decimal integer with optional space
// around it and one optional sign, greater than 0 and no larger than a PID can
// be. pid_file_fuzz.cc checks the same rule on any bytes against a reading
// done digit by digit; these are the cases a reader should see.
#include <gtest/gtest.h>

#include "proxy/discovery.h"

namespace pw {
namespace {

TEST(PidFileNumber, TakesOneDecimalPidWithSpaceAround) {
  const struct {
    const char* content;
    Pid pid;  // 0: names none
  } cases[] = {
      {"812", 812},
      {"812\n", 812},
      {" \t812 \r\n", 812},
      {"+812", 812},
      {"007", 7},
      {"2147483647", 2147483647},
      {"0", 0},
      {"-812", 0},
      {"2147483648", 0},
      {"18446744073709552428", 0},  // 2^64 + 812, which must not wrap to 812
      {"", 0},
      {" \n", 0},
      {"+", 0},
      {"--5", 0},
      {"+-5", 0},
      {"- 5", 0},
      {"8 12", 0},
      {"12.5", 0},
      {"1e3", 0},
      {"0x10", 0},
      {"1_000", 0},
      {"squid", 0},
  };
  for (const auto& c : cases) EXPECT_EQ(pid_file_number(c.content), c.pid) << '"' << c.content << '"';
}

}  // namespace
}  // namespace pw
