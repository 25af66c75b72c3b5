// QUERY_SQL runs one SQL statement on an SQLite database file, on a connection
// of its own, and turns a failure of the statement into a printed error line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/os.h"

namespace pw {

struct Blob {
  std::string bytes;
  bool operator==(const Blob&) const = default;
};
// NULL, INTEGER, REAL, TEXT (without its bytes above 0x7F), BLOB.
using Value = std::variant<std::monostate, std::int64_t, double, std::string, Blob>;
using Row = std::vector<Value>;
using Rows = std::vector<Row>;

// Runs SQL, which must hold exactly one statement, on the database file DB
// (created when missing and its directory exists). Returns all rows, or with
// FETCHONE only the first; nullopt when FETCHONE finds no row, and when the
// statement failed, which prints "[ERROR]: SQL " with the failure's report.
// A statement that succeeds takes effect; one that fails changes nothing.
std::optional<Rows> QUERY_SQL(Os& os, const std::string& sql, const std::string& db, bool fetchone = false);

}  // namespace pw
