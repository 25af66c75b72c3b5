#include "report/query_sql.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <chrono>
#include <filesystem>

#include "report/failure.h"
#include "testing/fake_os.h"
#include "testing/journal_test_util.h"

namespace pw {
namespace {

// How many of this process's descriptors are open on PATH.
int descriptors_on(const std::string& path) {
  int found = 0;
  for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code gone;
    if (std::filesystem::read_symlink(fd.path(), gone) == std::filesystem::canonical(path)) ++found;
  }
  return found;
}

class QuerySql : public ::testing::Test {
 protected:
  void SetUp() override { execute(db_, "CREATE TABLE t (id INTEGER PRIMARY KEY, name TEXT UNIQUE, n REAL, b BLOB)"); }

  std::int64_t count() {
    const auto rows = QUERY_SQL(os_, "SELECT count(*) FROM t", db_);
    return std::get<std::int64_t>(rows->at(0).at(0));
  }

  TempDir dir_;
  std::string db_ = dir_ / "test.db";
  FakeOs os_;
};

TEST_F(QuerySql, ASucceedingWriteTakesEffectWhateverTheCaseOfItsKeyword) {
  for (const char* sql :
       {"INSERT INTO t (name) VALUES ('a')", "insert into t (name) values ('b')", "Insert Into t (name) VALUES ('c')",
        "REPLACE INTO t (name) VALUES ('d')", "  \n\tINSERT\tINTO t (name) VALUES ('e')"}) {
    EXPECT_EQ(QUERY_SQL(os_, sql, db_), Rows{}) << sql;
  }
  EXPECT_EQ(count(), 5);
  EXPECT_EQ(QUERY_SQL(os_, "Update t SET n = 1.5 WHERE name = 'a'", db_), Rows{});
  EXPECT_EQ(QUERY_SQL(os_, "DELETE FROM t WHERE name IN ('b', 'c')", db_), Rows{});
  EXPECT_EQ(count(), 3);
  EXPECT_EQ(QUERY_SQL(os_, "SELECT n FROM t WHERE name = 'a'", db_), (Rows{{1.5}}));
  EXPECT_TRUE(os_.lines().empty());
}

TEST_F(QuerySql, AFailingWriteLeavesNoChange) {
  execute(db_, "INSERT INTO t (name) VALUES ('a')");
  // The second row of the statement conflicts; the first must not remain.
  EXPECT_EQ(QUERY_SQL(os_, "INSERT INTO t (name) VALUES ('z'), ('a')", db_), std::nullopt);
  EXPECT_EQ(count(), 1);
  ASSERT_EQ(os_.lines().size(), 1u);
  EXPECT_TRUE(os_.lines()[0].ends_with("\nSQLITE_CONSTRAINT: UNIQUE constraint failed: t.name\n")) << os_.lines()[0];
}

TEST_F(QuerySql, ReturnsRowsAsTypedValues) {
  execute(db_, "INSERT INTO t VALUES (1, 'a', 2.5, x'00ff'), (2, NULL, NULL, NULL)");
  EXPECT_EQ(QUERY_SQL(os_, "SELECT id, name, n, b FROM t ORDER BY id", db_),
            (Rows{{std::int64_t{1}, std::string("a"), 2.5, Blob{std::string("\0\xff", 2)}},
                  {std::int64_t{2}, std::monostate{}, std::monostate{}, std::monostate{}}}));
  EXPECT_EQ(QUERY_SQL(os_, "SELECT id FROM t ORDER BY id", db_, true), (Rows{{std::int64_t{1}}}));
}

TEST_F(QuerySql, NoRowIsAnEmptyListOrWithFetchoneNoResult) {
  EXPECT_EQ(QUERY_SQL(os_, "SELECT id FROM t", db_), Rows{});
  EXPECT_EQ(QUERY_SQL(os_, "SELECT id FROM t", db_, true), std::nullopt);
  EXPECT_EQ(QUERY_SQL(os_, "INSERT INTO t (name) VALUES ('a')", db_, true), std::nullopt);
  EXPECT_EQ(count(), 1);
  EXPECT_TRUE(os_.lines().empty());
}

TEST_F(QuerySql, AWriteWithFetchoneRunsToItsEnd) {
  EXPECT_EQ(QUERY_SQL(os_, "INSERT INTO t (name) VALUES ('a'), ('b') RETURNING name", db_, true),
            (Rows{{std::string("a")}}));
  EXPECT_EQ(count(), 2);
}

TEST_F(QuerySql, TextLosesItsBytesAboveAscii) {
  execute(db_, "INSERT INTO t (name) VALUES ('caf\xc3\xa9 cr\xc3\xa8me')");
  EXPECT_EQ(QUERY_SQL(os_, "SELECT name FROM t", db_), (Rows{{std::string("caf crme")}}));
}

TEST_F(QuerySql, TwoStatementsFailBeforeEitherRuns) {
  EXPECT_EQ(QUERY_SQL(os_, "INSERT INTO t (name) VALUES ('a'); INSERT INTO t (name) VALUES ('b')", db_), std::nullopt);
  EXPECT_EQ(descriptors_on(db_), 0);  // nothing of the refused text keeps the database open
  EXPECT_EQ(count(), 0);
  ASSERT_EQ(os_.lines().size(), 1u);
  EXPECT_TRUE(os_.lines()[0].starts_with("[ERROR]: SQL in QUERY_SQL on ")) << os_.lines()[0];
  EXPECT_TRUE(os_.lines()[0].ends_with("\nMultipleStatements: the text holds more than one statement\n"));
  // A trailing semicolon, blanks and comments are not a second statement.
  EXPECT_EQ(QUERY_SQL(os_, "INSERT INTO t (name) VALUES ('a');  -- done\n", db_), Rows{});
  EXPECT_EQ(count(), 1);
}

TEST_F(QuerySql, AMissingTableIsReportedWithItsPlaces) {
  const auto fresh = dir_ / "fresh.db";
  EXPECT_EQ(QUERY_SQL(os_, "INSERT INTO missing VALUES (1)", fresh), std::nullopt);
  EXPECT_EQ(os_.lines(), std::vector<std::string>{"[ERROR]: SQL in QUERY_SQL on " + fresh +
                                                  ": INSERT INTO missing VALUES (1)\n"
                                                  "  in preparing the statement\n"
                                                  "SQLITE_ERROR: no such table: missing\n"});
  // The database file did not exist before; now it does, empty.
  EXPECT_TRUE(std::filesystem::exists(fresh));
  EXPECT_EQ(std::filesystem::file_size(fresh), 0u);
}

TEST_F(QuerySql, ADatabaseThatCannotBeOpenedIsReportedByItsMessage) {
  const auto path = dir_ / "no/such/dir/test.db";
  EXPECT_EQ(QUERY_SQL(os_, "SELECT 1", path), std::nullopt);
  EXPECT_EQ(os_.lines(), std::vector<std::string>{"[ERROR]: SQL cannot open " + path +
                                                  ": unable to open database file: No such file or directory"});
  EXPECT_FALSE(std::filesystem::exists(dir_ / "no"));
}

TEST_F(QuerySql, ALockHeldPastTheBusyTimeoutFailsAfterFiveSeconds) {
  sqlite3* holder = nullptr;
  ASSERT_EQ(sqlite3_open(db_.c_str(), &holder), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(holder, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(QUERY_SQL(os_, "INSERT INTO t (name) VALUES ('a')", db_), std::nullopt);
  const auto waited = std::chrono::steady_clock::now() - started;
  sqlite3_exec(holder, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(holder);
  EXPECT_GE(waited, std::chrono::milliseconds(4900));
  EXPECT_LT(waited, std::chrono::seconds(30));
  ASSERT_EQ(os_.lines().size(), 1u);
  EXPECT_TRUE(os_.lines()[0].ends_with("\nSQLITE_BUSY: database is locked\n")) << os_.lines()[0];
  EXPECT_EQ(count(), 0);
}

TEST(SqliteCodeName, NamesThePrimaryCodeAndNumbersAnUnknownOne) {
  const struct {
    int code;
    const char* name;
  } cases[] = {{SQLITE_OK, "SQLITE_OK"},
               {SQLITE_WARNING, "SQLITE_WARNING"},
               {29, "SQLITE_29"},
               {SQLITE_CONSTRAINT_UNIQUE, "SQLITE_CONSTRAINT"},
               {SQLITE_DONE, "SQLITE_DONE"}};
  for (const auto& c : cases) EXPECT_EQ(sqlite_code_name(c.code), c.name) << c.code;
}

}  // namespace
}  // namespace pw
