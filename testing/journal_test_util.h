// Helpers for tests that write the event journal: a real database made from
// the shipped schema, its rows, and a fake machine whose journal it is.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "testing/fake_os.h"
#include "testing/test_util.h"

namespace pw {

// Creates the journal's table in the database file PATH.
void create_journal(const std::string& path);

// A fake machine whose journal is a real database in a temporary directory.
struct FakeMachine {
  FakeMachine() { create_journal(db_); }
  TempDir dir_;
  std::string db_ = dir_ / "system_events.db";
  FakeOs os_{db_};
};

class FakeMachineTest : public ::testing::Test, protected FakeMachine {};

struct JournalRow {
  std::int64_t zdate;
  std::string content, subject, function, filename;
  std::int64_t line, severity, removeafter;
  bool operator==(const JournalRow&) const = default;
};
std::vector<JournalRow> journal_rows(const std::string& path);
// The rows' events, each as "SEVERITY SUBJECT".
std::vector<std::string> journal_events(const std::string& path);

// Runs SQL on the database file PATH, failing the test on an error.
void execute(const std::string& path, const std::string& sql);

}  // namespace pw
