// The command line's list form: written for any arguments, it reads back to
// exactly those arguments, and uses only printable ASCII.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "proxy/sweep.h"

namespace {

int hex(char c) { return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1; }

// Reads a list form back into its arguments; nullopt when it is malformed.
std::optional<std::vector<std::string>> decode(const std::string& form) {
  std::vector<std::string> arguments;
  size_t at = 0;
  if (form.empty() || form[at++] != '[') return std::nullopt;
  if (form == "[]") return arguments;
  for (;;) {
    if (at >= form.size()) return std::nullopt;
    const char quote = form[at++];
    if (quote != '\'' && quote != '"') return std::nullopt;
    std::string argument;
    for (;;) {
      if (at >= form.size()) return std::nullopt;
      const char c = form[at++];
      if (c == quote) break;
      if (c != '\\') {
        argument += c;
        continue;
      }
      if (at >= form.size()) return std::nullopt;
      const char e = form[at++];
      if (e == '\\' || e == '\'') {
        argument += e;
      } else if (e == 't') {
        argument += '\t';
      } else if (e == 'n') {
        argument += '\n';
      } else if (e == 'r') {
        argument += '\r';
      } else if (e == 'x' && at + 1 < form.size() && hex(form[at]) >= 0 && hex(form[at + 1]) >= 0) {
        argument += static_cast<char>(hex(form[at]) * 16 + hex(form[at + 1]));
        at += 2;
      } else {
        return std::nullopt;
      }
    }
    arguments.push_back(argument);
    if (at + 1 == form.size() && form[at] == ']') return arguments;
    if (form.compare(at, 2, ", ") != 0) return std::nullopt;
    at += 2;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider provider(data, size);
  std::vector<std::string> arguments;
  while (provider.remaining_bytes() > 0 && arguments.size() < 16) {
    arguments.push_back(provider.ConsumeRandomLengthString(64));
  }
  const std::string form = pw::list_form(arguments);
  for (const char c : form) {
    if (c < 0x20 || c > 0x7e) std::abort();
  }
  if (decode(form) != arguments) std::abort();
  return 0;
}
