// Failure reports: the places a failure passed through, outermost first, and a
// last line "KIND: MESSAGE".
#pragma once

#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

namespace pw {

// A failure of the database library, or of the rules the runner enforces.
class SqlFailure : public std::runtime_error {
 public:
  SqlFailure(std::string kind, const std::string& message, std::string place)
      : std::runtime_error(message), kind_(std::move(kind)), places_{std::move(place)} {}
  const std::string& kind() const { return kind_; }
  // Outermost first.
  const std::vector<std::string>& places() const { return places_; }
  void passed_through(std::string place) { places_.insert(places_.begin(), std::move(place)); }

 private:
  std::string kind_;
  std::vector<std::string> places_;
};

// The report of E seen at PLACE: PLACE, then the places E passed through, each
// on a line of its own, then "KIND: MESSAGE", then a line break.
std::string failure_report(const std::string& place, const std::exception& e);

// SQLite's own name for a result code, such as SQLITE_BUSY.
std::string sqlite_code_name(int code);

}  // namespace pw
