// Filling the "%s" placeholders of the fixed lines and commands.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace pw {

// PATTERN with each "%s", in order, replaced by the next of VALUES.
inline std::string fill(std::string_view pattern, std::initializer_list<std::string_view> values) {
  std::string text;
  text.reserve(pattern.size() + 32);
  auto value = values.begin();
  for (size_t at = 0; at < pattern.size(); ++at) {
    if (pattern[at] == '%' && at + 1 < pattern.size() && pattern[at + 1] == 's' && value != values.end()) {
      text += *value++;
      ++at;
    } else {
      text += pattern[at];
    }
  }
  return text;
}

}  // namespace pw
