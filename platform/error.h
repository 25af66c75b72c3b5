// Error is the failure type of the helper layer: a failure that the helper
// library reports, and a failure of the SQLite library to open a database, are
// of this type. It carries the system's error number behind the failure.
#pragma once

#include <string>
#include <system_error>

namespace pw {

class Error : public std::system_error {
 public:
  Error(int err, const std::string& what) : std::system_error(err, std::generic_category(), what) {}
};

// Throws a failure of a system call: ERR, saved before WHAT was built, and what
// the call was about ("open /proc/812/status").
[[noreturn]] inline void throw_errno(int err, const std::string& what) {
  throw std::system_error(err, std::generic_category(), what);
}

}  // namespace pw
