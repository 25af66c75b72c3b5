#include "report/query_sql.h"

#include <cerrno>
#include <memory>

#include "platform/error.h"
#include "platform/sqlite_library.h"
#include "platform/text.h"
#include "report/failure.h"
#include "report/fixed.h"

namespace pw {
namespace {

struct CloseConnection {
  const SqliteLibrary* lib;
  void operator()(sqlite3* connection) const { lib->close_v2(connection); }
};
struct FinalizeStatement {
  const SqliteLibrary* lib;
  void operator()(sqlite3_stmt* statement) const { lib->finalize(statement); }
};
using Connection = std::unique_ptr<sqlite3, CloseConnection>;
using Statement = std::unique_ptr<sqlite3_stmt, FinalizeStatement>;

[[noreturn]] void fail(const SqliteLibrary& lib, sqlite3* connection, const std::string& place) {
  throw SqlFailure(sqlite_code_name(lib.extended_errcode(connection)), lib.errmsg(connection), place);
}

Connection open(const SqliteLibrary& lib, const std::string& db) {
  sqlite3* raw = nullptr;
  const int code = lib.open_v2(db.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  Connection connection(raw, CloseConnection{&lib});
  if (code != SQLITE_OK) {
    const int err = raw != nullptr && lib.system_errno(raw) != 0 ? lib.system_errno(raw) : EIO;
    throw Error(err, "cannot open " + db + ": " + (raw != nullptr ? lib.errmsg(raw) : lib.errstr(code)));
  }
  lib.busy_timeout(connection.get(), kBusyTimeoutMs);
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

Row read_row(const SqliteLibrary& lib, sqlite3_stmt* statement) {
  Row row;
  const int columns = lib.column_count(statement);
  row.reserve(static_cast<size_t>(columns));
  for (int i = 0; i < columns; ++i) {
    switch (lib.column_type(statement, i)) {
      case SQLITE_INTEGER:
        row.emplace_back(static_cast<std::int64_t>(lib.column_int64(statement, i)));
        break;
      case SQLITE_FLOAT:
        row.emplace_back(lib.column_double(statement, i));
        break;
      case SQLITE_TEXT: {
        const auto* text = lib.column_text(statement, i);
        row.emplace_back(ascii_text(text, lib.column_bytes(statement, i)));
        break;
      }
      case SQLITE_BLOB: {
        const auto* bytes = static_cast<const char*>(lib.column_blob(statement, i));
        row.emplace_back(Blob{std::string(bytes, static_cast<size_t>(lib.column_bytes(statement, i)))});
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
Rows run(const SqliteLibrary& lib, sqlite3* connection, const std::string& sql, bool fetchone) {
  sqlite3_stmt* raw = nullptr;
  const char* tail = nullptr;
  if (lib.prepare_v2(connection, sql.c_str(), static_cast<int>(sql.size()), &raw, &tail) != SQLITE_OK) {
    fail(lib, connection, "preparing the statement");
  }
  Statement statement(raw, FinalizeStatement{&lib});

  // Whatever follows the first statement may hold nothing but blanks and
  // comments; a second statement is refused before the first one runs.
  sqlite3_stmt* second = nullptr;
  const int rest = static_cast<int>(sql.data() + sql.size() - tail);
  if (lib.prepare_v2(connection, tail, rest, &second, nullptr) != SQLITE_OK) {
    fail(lib, connection, "preparing the text after the statement");
  }
  if (second != nullptr) {
    lib.finalize(second);
    throw SqlFailure("MultipleStatements", "the text holds more than one statement", "preparing the statement");
  }

  Rows rows;
  if (!statement) return rows;  // blanks or comments only
  // A statement that writes runs to its end even when only its first row is
  // wanted, so that all of its changes take effect.
  const bool to_the_end = !fetchone || lib.stmt_readonly(statement.get()) == 0;
  for (;;) {
    const int code = lib.step(statement.get());
    if (code == SQLITE_DONE) break;
    if (code != SQLITE_ROW) fail(lib, connection, "running the statement");
    if (!fetchone || rows.empty()) rows.push_back(read_row(lib, statement.get()));
    if (!to_the_end) break;
  }
  return rows;
}

}  // namespace

std::optional<Rows> QUERY_SQL(Os& os, const std::string& sql, const std::string& db, bool fetchone) {
  // A library that cannot be loaded is no Error of opening: it passes to the caller.
  const SqliteLibrary& lib = os.sqlite();
  Connection connection;
  try {
    connection = open(lib, db);
  } catch (const Error& e) {
    os.out(fill(kSqlErrorLine, {e.what()}));
    return std::nullopt;
  }

  Rows rows;
  try {
    rows = run(lib, connection.get(), sql, fetchone);
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
