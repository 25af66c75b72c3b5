#include "testing/journal_test_util.h"

#include <sqlite3.h>

namespace pw {

void execute(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  char* error = nullptr;
  const int code = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error);
  EXPECT_EQ(code, SQLITE_OK) << (error ? error : "");
  sqlite3_free(error);
  sqlite3_close(db);
}

void create_journal(const std::string& path) { execute(path, read_whole_file(SCHEMA_FILE)); }

std::vector<JournalRow> journal_rows(const std::string& path) {
  std::vector<JournalRow> rows;
  sqlite3* db = nullptr;
  EXPECT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  sqlite3_stmt* statement = nullptr;
  EXPECT_EQ(
      sqlite3_prepare_v2(db,
                         "SELECT zDate, content, subject, function, filename, line, severity, removeafter, "
                         "typeof(zDate), typeof(severity), typeof(removeafter) FROM squid_admin_mysql ORDER BY ID",
                         -1, &statement, nullptr),
      SQLITE_OK)
      << sqlite3_errmsg(db);
  while (statement != nullptr && sqlite3_step(statement) == SQLITE_ROW) {
    auto text = [&](int column) {
      return std::string(reinterpret_cast<const char*>(sqlite3_column_text(statement, column)));
    };
    // The numbers are stored as integers, as the table's column types make them.
    for (int column = 8; column < 11; ++column) EXPECT_EQ(text(column), "integer");
    rows.push_back({sqlite3_column_int64(statement, 0), text(1), text(2), text(3), text(4),
                    sqlite3_column_int64(statement, 5), sqlite3_column_int64(statement, 6),
                    sqlite3_column_int64(statement, 7)});
  }
  sqlite3_finalize(statement);
  sqlite3_close(db);
  return rows;
}

std::vector<std::string> journal_events(const std::string& path) {
  std::vector<std::string> events;
  for (const auto& row : journal_rows(path)) events.push_back(std::to_string(row.severity) + " " + row.subject);
  return events;
}

}  // namespace pw
