#include "report/query_sql.h"

#include <sqlite3.h>

#include <cerrno>
#include <memory>

#include "platform/error.h"
#include "platform/text.h"
#include "report/failure.h"
#include "report/fixed.h"

namespace pw {
namespace {

struct CloseConnection {
  void operator()(sqlite3* connection) const { sqlite3_close_v2(connection); }
};
struct FinalizeStatement {
  void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Connection = std::unique_ptr<sqlite3, CloseConnection>;
using Statement = std::unique_ptr<sqlite3_stmt, FinalizeStatement>;

[[noreturn]] void fail(sqlite3* connection, const std::string& place) {
  throw SqlFailure(sqlite_code_name(sqlite3_extended_errcode(connection)), sqlite3_errmsg(connection), place);
}

Connection open(const std::string& db) {
  sqlite3* raw = nullptr;
  const int code = sqlite3_open_v2(db.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  Connection connection(raw);
  if (code != SQLITE_OK) {
    const int err = raw != nullptr && sqlite3_system_errno(raw) != 0 ? sqlite3_system_errno(raw) : EIO;
    throw Error(err, "cannot open " + db + ": " + (raw != nullptr ? sqlite3_errmsg(raw) : sqlite3_errstr(code)));
  }
  sqlite3_busy_timeout(connection.get(), kBusyTimeoutMs);
  return connection;
}

// Text is handed on as ASCII: every byte above 0x7F is dropped.
std::string ascii_text(const unsigned char* text, int size) {
  std::string kept;
  kept.reserve(static_cast<size_t>(size));
  for (int i = 0; i < size; ++i) {
    if (text[i] < 0x80) kept += static_cast<char>(text[i]);
  }
  return kept;
}

Row read_row(sqlite3_stmt* statement) {
  Row row;
  const int columns = sqlite3_column_count(statement);
  row.reserve(static_cast<size_t>(columns));
  for (int i = 0; i < columns; ++i) {
    switch (sqlite3_column_type(statement, i)) {
      case SQLITE_INTEGER:
        row.emplace_back(static_cast<std::int64_t>(sqlite3_column_int64(statement, i)));
        break;
      case SQLITE_FLOAT:
        row.emplace_back(sqlite3_column_double(statement, i));
        break;
      case SQLITE_TEXT: {
        const auto* text = sqlite3_column_text(statement, i);
        row.emplace_back(ascii_text(text, sqlite3_column_bytes(statement, i)));
        break;
      }
      case SQLITE_BLOB: {
        const auto* bytes = static_cast<const char*>(sqlite3_column_blob(statement, i));
        row.emplace_back(Blob{std::string(bytes, static_cast<size_t>(sqlite3_column_bytes(statement, i)))});
        break;
      }
      default:
        row.emplace_back(std::monostate{});
    }
  }
  return row;
}

// Prepares and runs the one statement of SQL in autocommit mode, so that it
// takes effect when it succeeds and is undone as a whole when it fails.
Rows run(sqlite3* connection, const std::string& sql, bool fetchone) {
  sqlite3_stmt* raw = nullptr;
  const char* tail = nullptr;
  if (sqlite3_prepare_v2(connection, sql.c_str(), static_cast<int>(sql.size()), &raw, &tail) != SQLITE_OK) {
    fail(connection, "preparing the statement");
  }
  Statement statement(raw);

  // Whatever follows the first statement may hold nothing but blanks and
  // comments; a second statement is refused before the first one runs.
  sqlite3_stmt* second = nullptr;
  const int rest = static_cast<int>(sql.data() + sql.size() - tail);
  if (sqlite3_prepare_v2(connection, tail, rest, &second, nullptr) != SQLITE_OK) {
    fail(connection, "preparing the text after the statement");
  }
  if (second != nullptr) {
    sqlite3_finalize(second);
    throw SqlFailure("MultipleStatements", "the text holds more than one statement", "preparing the statement");
  }

  Rows rows;
  if (!statement) return rows;  // blanks or comments only
  // A statement that writes runs to its end even when only its first row is
  // wanted, so that all of its changes take effect.
  const bool to_the_end = !fetchone || sqlite3_stmt_readonly(statement.get()) == 0;
  for (;;) {
    const int code = sqlite3_step(statement.get());
    if (code == SQLITE_DONE) break;
    if (code != SQLITE_ROW) fail(connection, "running the statement");
    if (!fetchone || rows.empty()) rows.push_back(read_row(statement.get()));
    if (!to_the_end) break;
  }
  return rows;
}

}  // namespace

std::optional<Rows> QUERY_SQL(Os& os, const std::string& sql, const std::string& db, bool fetchone) {
  Connection connection;
  try {
    connection = open(db);
  } catch (const Error& e) {
    os.out(fill(kSqlErrorLine, {e.what()}));
    return std::nullopt;
  }

  Rows rows;
  try {
    rows = run(connection.get(), sql, fetchone);
  } catch (const std::exception& e) {
    connection.reset();
    os.out(fill(kSqlErrorLine, {failure_report("QUERY_SQL on " + db + ": " + sql, e)}));
    return std::nullopt;
  }
  connection.reset();
  if (fetchone && rows.empty()) return std::nullopt;
  return rows;
}

}  // namespace pw
