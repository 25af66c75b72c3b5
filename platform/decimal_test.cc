#include "platform/decimal.h"

#include <gtest/gtest.h>

namespace pw {
namespace {

TEST(ParseDecimal, AcceptsOneSignedIntegerWithSpaceAround) {
  const struct {
    const char* text;
    std::optional<long long> value;
  } cases[] = {
      {"812", 812},
      {"812\n", 812},
      {" \t812 \r\n", 812},
      {"+812", 812},
      {"-5", -5},
      {"0", 0},
      {"007", 7},
      {"9223372036854775807", 9223372036854775807LL},
      {"-9223372036854775808", INT64_MIN},
      {"9223372036854775808", std::nullopt},
      {"-9223372036854775809", std::nullopt},
      {"99999999999999999999999", std::nullopt},
      {"", std::nullopt},
      {" \n", std::nullopt},
      {"+", std::nullopt},
      {"--5", std::nullopt},
      {"+-5", std::nullopt},
      {"8 12", std::nullopt},
      {"12.5", std::nullopt},
      {"1e3", std::nullopt},
      {"0x10", std::nullopt},
      {"squid", std::nullopt},
      {"1_000", std::nullopt},
      {"- 5", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(parse_decimal(c.text), c.value) << '"' << c.text << '"';
}

}  // namespace
}  // namespace pw
