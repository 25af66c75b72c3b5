// Error is the failure type of the helper layer: a failure it reports, and a
// failure of the SQLite library to open a database, are of this type.
#pragma once

#include <stdexcept>

namespace pw {

class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace pw
