#include "platform/test_util.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace pw {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "proxywarden-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

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

std::string read_whole_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

void write_whole_file(const std::string& path, const std::string& data) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
}

}  // namespace pw

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace pw {

Finished run_program(const std::vector<std::string>& argv, const std::vector<std::string>& environment) {
  TempDir dir;
  const std::string out = dir / "out", err = dir / "err";
  const pid_t child = ::fork();
  if (child == 0) {
    const int in = ::open("/dev/null", O_RDONLY);
    const int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(in, 0);
    ::dup2(o, 1);
    ::dup2(e, 2);
    for (const auto& entry : environment) ::putenv(const_cast<char*>(entry.c_str()));
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), read_whole_file(out), read_whole_file(err)};
}

}  // namespace pw
