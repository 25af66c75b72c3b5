// Helpers shared by the tests: a temporary directory, and a real journal
// database made from the shipped schema.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/fake_os.h"

namespace pw {

// A fresh directory, removed with all it holds when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Creates the journal's table in the database file PATH.
void create_journal(const std::string& path);

// The fake machine, whose journal is a real database with its table in a
// temporary directory.
struct FakeMachine {
  FakeMachine() { create_journal(db_); }
  TempDir dir_;
  std::string db_ = dir_ / "system_events.db";
  FakeOs os_{db_};
};

// A test on one fake machine.
class FakeMachineTest : public ::testing::Test, protected FakeMachine {};

struct JournalRow {
  std::int64_t zdate;
  std::string content, subject, function, filename;
  std::int64_t line, severity, removeafter;
  bool operator==(const JournalRow&) const = default;
};
std::vector<JournalRow> journal_rows(const std::string& path);

// Runs SQL on the database file PATH, failing the test on an error.
void execute(const std::string& path, const std::string& sql);

std::string read_whole_file(const std::string& path);
void write_whole_file(const std::string& path, const std::string& data);

}  // namespace pw

namespace pw {

struct Finished {
  int status;  // the exit status, or 128 + the signal that ended it
  std::string out, err;
};
// Runs ARGV with ENVIRONMENT ("NAME=value" entries) added to this process's
// environment, standard input from /dev/null, and collects its output.
Finished run_program(const std::vector<std::string>& argv, const std::vector<std::string>& environment = {});

}  // namespace pw
