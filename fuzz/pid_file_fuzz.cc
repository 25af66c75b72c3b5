// The PID file's content: pid_file_number agrees with a plain reading of the
// text done digit by digit, without any integer that could overflow.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "proxy/discovery.h"

namespace {

// The PID the text names by the rules (space, one sign, digits, space), or 0.
pw::Pid expected(std::string_view text) {
  const std::string_view space = " \t\n\v\f\r";
  while (!text.empty() && space.find(text.front()) != std::string_view::npos) text.remove_prefix(1);
  while (!text.empty() && space.find(text.back()) != std::string_view::npos) text.remove_suffix(1);
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return 0;
  }
  while (text.size() > 1 && text.front() == '0') text.remove_prefix(1);
  if (negative || text == "0") return 0;
  // Compare as decimal strings with the largest PID.
  const std::string_view largest = "2147483647";
  if (text.size() > largest.size() || (text.size() == largest.size() && text > largest)) return 0;
  return static_cast<pw::Pid>(std::strtol(std::string(text).c_str(), nullptr, 10));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (pw::pid_file_number(text) != expected(text)) std::abort();
  return 0;
}
