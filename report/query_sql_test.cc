#include "report/query_sql.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>

#include "report/failure.h"
#include "testing/fake_os.h"
#include "testing/journal_test_util.h"

namespace pw {
namespace {

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

TEST_F(QuerySql, AFailingWriteLeavesNoChange) {
  execute(db_, "INSERT INTO t (name) VALUES ('a')");
  // The second row of the statement conflicts; the first must not remain.
  EXPECT_EQ(QUERY_SQL(os_, "INSERT INTO t (name) VALUES ('z'), ('a')", db_), std::nullopt);
  EXPECT_EQ(count(), 1);
  ASSERT_EQ(os_.lines().size(), 1u);
  EXPECT_TRUE(os_.lines()[0].ends_with("\nSQLITE_CONSTRAINT: UNIQUE constraint failed: t.name\n")) << os_.lines()[0];
}

// What one statement returns, on a table of three rows, and how many rows it
// leaves; a write takes effect, and runs to its end even when only its first
// row is wanted.
TEST_F(QuerySql, ReturnsTypedRowsAndAWriteTakesEffect) {
  using Text = std::string;
  const struct {
    const char* sql;
    bool fetchone;
    std::optional<Rows> rows;
    std::int64_t count;
  } cases[] = {
      {"SELECT id, name, n, b FROM t WHERE id < 3 ORDER BY id", false,
       Rows{{std::int64_t{1}, Text("a"), 2.5, Blob{Text("\0\xff", 2)}},
            {std::int64_t{2}, std::monostate{}, std::monostate{}, std::monostate{}}},
       3},
      {"SELECT id FROM t ORDER BY id", true, Rows{{std::int64_t{1}}}, 3},
      {"SELECT name FROM t WHERE id = 3", false, Rows{{Text("caf crme")}}, 3},  // bytes above ASCII dropped
      {"SELECT id FROM t WHERE id > 3", false, Rows{}, 3},
      {"SELECT id FROM t WHERE id > 3", true, std::nullopt, 3},
      {"insert into t (name) values ('b')", false, Rows{}, 4},
      {"  \n\tREPLACE\tINTO t (id, name) VALUES (1, 'b')", false, Rows{}, 3},
      {"INSERT INTO t (name) VALUES ('b')", true, std::nullopt, 4},
      {"INSERT INTO t (name) VALUES ('b'), ('c') RETURNING name", true, Rows{{Text("b")}}, 5},
      {"Update t SET n = 1.5 WHERE id = 2 RETURNING n", false, Rows{{1.5}}, 3},
      {"DELETE FROM t WHERE id > 1", false, Rows{}, 1},
  };
  for (const auto& c : cases) {
    execute(db_,
            "DELETE FROM t; INSERT INTO t VALUES (1, 'a', 2.5, x'00ff'), (2, NULL, NULL, NULL), "
            "(3, 'caf\xc3\xa9 cr\xc3\xa8me', 0, 0)");
    EXPECT_EQ(QUERY_SQL(os_, c.sql, db_, c.fetchone), c.rows) << c.sql;
    EXPECT_EQ(count(), c.count) << c.sql;
  }
  EXPECT_TRUE(os_.lines().empty());
}

TEST_F(QuerySql, TwoStatementsFailBeforeEitherRuns) {
  const auto before = open_files();
  EXPECT_EQ(QUERY_SQL(os_, "INSERT INTO t (name) VALUES ('a'); INSERT INTO t (name) VALUES ('b')", db_), std::nullopt);
  EXPECT_EQ(open_files(), before);  // nothing of the refused text keeps the database open
  EXPECT_EQ(count(), 0);
  ASSERT_EQ(os_.lines().size(), 1u);
  EXPECT_TRUE(os_.lines()[0].starts_with("[ERROR]: SQL in QUERY_SQL on ")) << os_.lines()[0];
  EXPECT_TRUE(os_.lines()[0].ends_with("\nMultipleStatements: the text holds more than one statement\n"));
  // A trailing semicolon, blanks and comments are not a second statement.
  EXPECT_EQ(QUERY_SQL(os_, "INSERT INTO t (name) VALUES ('a');  -- done\n", db_), Rows{});
  EXPECT_EQ(count(), 1);
}

// A statement that cannot be prepared is reported with its places, and leaves
// the database it made empty; one that cannot be opened by its message.
TEST_F(QuerySql, AMissingTableOrADatabaseThatCannotBeOpenedIsReported) {
  const auto fresh = dir_ / "fresh.db", unreachable = dir_ / "no/such/dir/test.db";
  EXPECT_EQ(QUERY_SQL(os_, "INSERT INTO missing VALUES (1)", fresh), std::nullopt);
  EXPECT_EQ(QUERY_SQL(os_, "SELECT 1", unreachable), std::nullopt);
  EXPECT_EQ(os_.lines(),
            (std::vector<std::string>{"[ERROR]: SQL in QUERY_SQL on " + fresh +
                                          ": INSERT INTO missing VALUES (1)\n  in preparing the statement\n"
                                          "SQLITE_ERROR: no such table: missing\n",
                                      "[ERROR]: SQL cannot open " + unreachable +
                                          ": unable to open database file: No such file or directory"}));
  EXPECT_EQ(std::filesystem::file_size(fresh), 0u);
  EXPECT_FALSE(std::filesystem::exists(dir_ / "no"));
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
