// The journal's statement: whatever the subject and text hold, the statement is
// one statement, and SQLite stores the subject and text exactly as given, so a
// quote can never end a literal early.
#include <fuzzer/FuzzedDataProvider.h>
#include <sqlite3.h>

#include <cstdlib>
#include <string>

#include "report/journal.h"

namespace {

sqlite3* journal() {
  static sqlite3* db = [] {
    sqlite3* opened = nullptr;
    sqlite3_open(":memory:", &opened);
    sqlite3_exec(opened,
                 "CREATE TABLE squid_admin_mysql (ID INTEGER PRIMARY KEY, zDate INTEGER, content TEXT, subject TEXT, "
                 "function TEXT, filename TEXT, line INTEGER, severity INTEGER, removeafter INTEGER)",
                 nullptr, nullptr, nullptr);
    return opened;
  }();
  return db;
}

std::string column(sqlite3_stmt* statement, int i) {
  return std::string(static_cast<const char*>(sqlite3_column_blob(statement, i)),
                     static_cast<size_t>(sqlite3_column_bytes(statement, i)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider provider(data, size);
  const std::string subject = provider.ConsumeRandomLengthString(256);
  const std::string text = provider.ConsumeRemainingBytesAsString();
  // The statement is handed over as C text, as the runner does.
  if (subject.find('\0') != std::string::npos || text.find('\0') != std::string::npos) return 0;
  const int severity = static_cast<int>(size % 3);
  const std::string sql = pw::journal_statement(1800000000, severity, subject, text);

  sqlite3* db = journal();
  sqlite3_exec(db, "DELETE FROM squid_admin_mysql", nullptr, nullptr, nullptr);
  sqlite3_stmt* insert = nullptr;
  const char* tail = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &insert, &tail) != SQLITE_OK) std::abort();
  if (tail != sql.c_str() + sql.size()) std::abort();  // one statement, all of the text
  if (sqlite3_step(insert) != SQLITE_DONE) std::abort();
  sqlite3_finalize(insert);

  sqlite3_stmt* select = nullptr;
  sqlite3_prepare_v2(db, "SELECT subject, content, severity, removeafter - zDate FROM squid_admin_mysql", -1, &select,
                     nullptr);
  if (sqlite3_step(select) != SQLITE_ROW) std::abort();
  if (column(select, 0) != subject || column(select, 1) != text) std::abort();
  if (sqlite3_column_int(select, 2) != severity || sqlite3_column_int(select, 3) != 604800) std::abort();
  if (sqlite3_step(select) != SQLITE_DONE) std::abort();
  sqlite3_finalize(select);
  return 0;
}
