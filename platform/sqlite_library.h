// The SQLite library, loaded from the system's shared library when the first
// statement runs. Most runs (pid, ps, no action word) never write the journal;
// loading and relocating libsqlite3 at start-up would cost every one of them.
#pragma once

#include <sqlite3.h>

namespace pw {

// The functions of the SQLite library that the statement runner calls.
struct SqliteLibrary {
  decltype(&::sqlite3_open_v2) open_v2;
  decltype(&::sqlite3_close_v2) close_v2;
  decltype(&::sqlite3_busy_timeout) busy_timeout;
  decltype(&::sqlite3_prepare_v2) prepare_v2;
  decltype(&::sqlite3_step) step;
  decltype(&::sqlite3_finalize) finalize;
  decltype(&::sqlite3_stmt_readonly) stmt_readonly;
  decltype(&::sqlite3_column_count) column_count;
  decltype(&::sqlite3_column_type) column_type;
  decltype(&::sqlite3_column_int64) column_int64;
  decltype(&::sqlite3_column_double) column_double;
  decltype(&::sqlite3_column_text) column_text;
  decltype(&::sqlite3_column_blob) column_blob;
  decltype(&::sqlite3_column_bytes) column_bytes;
  decltype(&::sqlite3_extended_errcode) extended_errcode;
  decltype(&::sqlite3_errmsg) errmsg;
  decltype(&::sqlite3_errstr) errstr;
  decltype(&::sqlite3_system_errno) system_errno;
};

// Loads the shared library FILE, a name for the loader's own search or a path,
// and resolves every function. Throws std::runtime_error naming FILE when the
// library cannot be loaded or lacks one of them. The library stays loaded.
SqliteLibrary load_sqlite(const char* file);

}  // namespace pw
