#include "platform/sqlite_library.h"

#include <dlfcn.h>

#include <stdexcept>
#include <string>

namespace pw {
namespace {

template <typename Function>
void resolve(void* library, const char* file, const char* name, Function& function) {
  void* address = ::dlsym(library, name);
  if (address == nullptr) throw std::runtime_error(std::string("the SQLite library ") + file + " lacks " + name);
  function = reinterpret_cast<Function>(address);
}

}  // namespace

SqliteLibrary load_sqlite(const char* file) {
  void* library = ::dlopen(file, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    throw std::runtime_error(std::string("cannot load the SQLite library ") + file + ": " + ::dlerror());
  }
  SqliteLibrary functions{};
  try {
    resolve(library, file, "sqlite3_open_v2", functions.open_v2);
    resolve(library, file, "sqlite3_close_v2", functions.close_v2);
    resolve(library, file, "sqlite3_busy_timeout", functions.busy_timeout);
    resolve(library, file, "sqlite3_prepare_v2", functions.prepare_v2);
    resolve(library, file, "sqlite3_step", functions.step);
    resolve(library, file, "sqlite3_finalize", functions.finalize);
    resolve(library, file, "sqlite3_stmt_readonly", functions.stmt_readonly);
    resolve(library, file, "sqlite3_column_count", functions.column_count);
    resolve(library, file, "sqlite3_column_type", functions.column_type);
    resolve(library, file, "sqlite3_column_int64", functions.column_int64);
    resolve(library, file, "sqlite3_column_double", functions.column_double);
    resolve(library, file, "sqlite3_column_text", functions.column_text);
    resolve(library, file, "sqlite3_column_blob", functions.column_blob);
    resolve(library, file, "sqlite3_column_bytes", functions.column_bytes);
    resolve(library, file, "sqlite3_extended_errcode", functions.extended_errcode);
    resolve(library, file, "sqlite3_errmsg", functions.errmsg);
    resolve(library, file, "sqlite3_errstr", functions.errstr);
    resolve(library, file, "sqlite3_system_errno", functions.system_errno);
  } catch (...) {
    ::dlclose(library);
    throw;
  }
  return functions;
}

}  // namespace pw
