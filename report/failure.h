// Failure reports: where a failure was seen, where it arose, and a last line
// "KIND: MESSAGE".
#pragma once

#include <exception>
#include <stdexcept>
#include <string>
#include <utility>

namespace pw {

// A failure of the database library, or of the rules the runner enforces.
class SqlFailure : public std::runtime_error {
 public:
  SqlFailure(std::string kind, const std::string& message, std::string place)
      : std::runtime_error(message), kind_(std::move(kind)), place_(std::move(place)) {}
  const std::string& kind() const { return kind_; }
  // The step of the runner that failed, such as "preparing the statement".
  const std::string& place() const { return place_; }

 private:
  std::string kind_;
  std::string place_;
};

// The report of E seen at PLACE: PLACE, then, for a SqlFailure, the step where
// it arose, each on a line of its own, then "KIND: MESSAGE", then a line break.
std::string failure_report(const std::string& place, const std::exception& e);

// SQLite's own name for a result code, such as SQLITE_BUSY.
std::string sqlite_code_name(int code);

}  // namespace pw
