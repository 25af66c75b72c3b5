// Parsing of a decimal integer as the appliance's small text files hold it.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace pw {

// The integer that TEXT holds: optional white space, one optional + or - sign,
// one or more ASCII digits, optional white space, and nothing else. nullopt when
// TEXT holds anything else or a number outside the range of long long.
inline std::optional<long long> parse_decimal(std::string_view text) {
  constexpr std::string_view kSpace = " \t\n\v\f\r";
  const auto first = text.find_first_not_of(kSpace);
  if (first == std::string_view::npos) return std::nullopt;
  text.remove_suffix(text.size() - 1 - text.find_last_not_of(kSpace));
  text.remove_prefix(first);

  bool negative = false;
  if (text.front() == '+' || text.front() == '-') {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;

  // Accumulate as a negative number, whose range is the larger one.
  long long value = 0;
  constexpr long long kMin = INT64_MIN;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const int digit = c - '0';
    if (value < (kMin + digit) / 10) return std::nullopt;
    value = value * 10 - digit;
  }
  if (!negative) {
    if (value == kMin) return std::nullopt;
    value = -value;
  }
  return value;
}

}  // namespace pw
