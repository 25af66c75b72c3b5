#include "report/failure.h"

#include <cxxabi.h>
#include <sqlite3.h>

#include <cstdlib>
#include <memory>
#include <typeinfo>

namespace pw {
namespace {

// The name of E's type as the source spells it, such as std::system_error.
std::string type_name(const std::exception& e) {
  int status = 0;
  std::unique_ptr<char, decltype(&std::free)> name(abi::__cxa_demangle(typeid(e).name(), nullptr, nullptr, &status),
                                                   &std::free);
  return status == 0 && name ? name.get() : typeid(e).name();
}

}  // namespace

std::string failure_report(const std::string& place, const std::exception& e) {
  std::string report = "in " + place + "\n";
  std::string kind;
  if (const auto* sql = dynamic_cast<const SqlFailure*>(&e)) {
    report += "  in " + sql->place() + "\n";
    kind = sql->kind();
  } else {
    kind = type_name(e);
  }
  return report + kind + ": " + e.what() + "\n";
}

std::string sqlite_code_name(int code) {
  static const char* const kNames[] = {
      "SQLITE_OK",       "SQLITE_ERROR",      "SQLITE_INTERNAL", "SQLITE_PERM",      "SQLITE_ABORT",   "SQLITE_BUSY",
      "SQLITE_LOCKED",   "SQLITE_NOMEM",      "SQLITE_READONLY", "SQLITE_INTERRUPT", "SQLITE_IOERR",   "SQLITE_CORRUPT",
      "SQLITE_NOTFOUND", "SQLITE_FULL",       "SQLITE_CANTOPEN", "SQLITE_PROTOCOL",  "SQLITE_EMPTY",   "SQLITE_SCHEMA",
      "SQLITE_TOOBIG",   "SQLITE_CONSTRAINT", "SQLITE_MISMATCH", "SQLITE_MISUSE",    "SQLITE_NOLFS",   "SQLITE_AUTH",
      "SQLITE_FORMAT",   "SQLITE_RANGE",      "SQLITE_NOTADB",   "SQLITE_NOTICE",    "SQLITE_WARNING",
  };
  const int primary = code & 0xff;
  if (primary >= 0 && primary < static_cast<int>(std::size(kNames))) return kNames[primary];
  if (primary == SQLITE_ROW) return "SQLITE_ROW";
  if (primary == SQLITE_DONE) return "SQLITE_DONE";
  return "SQLITE_" + std::to_string(code);
}

}  // namespace pw
