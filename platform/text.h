// Filling the "%s" placeholders of the fixed lines and commands, and joining
// fixed texts at compile time.
#pragma once

#include <algorithm>
#include <cstddef>
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

// A text known at compile time, a string literal or a fixed character array,
// as a template argument.
template <std::size_t N>
struct FixedText {
  constexpr FixedText() = default;
  constexpr FixedText(const char (&from)[N]) { std::copy_n(from, N, text); }
  char text[N] = {};
};

template <FixedText... Parts>
inline constexpr auto kJoinedText = [] {
  FixedText<(sizeof(Parts.text) + ...) - sizeof...(Parts) + 1> all;
  char* at = all.text;
  ((at = std::copy_n(Parts.text, sizeof(Parts.text) - 1, at)), ...);
  return all;
}();

// PARTS joined into one character array at compile time, used as a string
// literal would be: joined<kDir, "/", kName> is a fixed path built from the
// fixed directory that holds it.
template <FixedText... Parts>
inline constexpr auto& joined = kJoinedText<Parts...>.text;

}  // namespace pw
