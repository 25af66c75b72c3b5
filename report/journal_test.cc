#include "report/journal.h"

#include <gtest/gtest.h>

#include "report/fixed.h"
#include "testing/fake_os.h"
#include "testing/journal_test_util.h"

namespace pw {
namespace {

using Journal = FakeMachineTest;

// Quotes and other bytes are kept as they are.
TEST_F(Journal, StoresOneRowPerEventStampedWithTheClockAndKeptForAWeek) {
  const std::string subject = "it's ''); DROP TABLE squid_admin_mysql; --", content = "caf\xc3\xa9 \"x\" \\ %s '";
  squid_admin_mysql(os_, 2, "Success Starting proxy service with PID 4242", "");
  os_.sleep(3);
  squid_admin_mysql(os_, 1, subject, content);
  const std::int64_t t = FakeOs::kEpochStart;
  EXPECT_EQ(journal_rows(db_),
            (std::vector<JournalRow>{{t, "", "Success Starting proxy service with PID 4242", "Proxy Service",
                                      "proxywarden", 0, 2, t + 604800},
                                     {t + 3, content, subject, "Proxy Service", "proxywarden", 0, 1, t + 3 + 604800}}));
  EXPECT_TRUE(os_.lines().empty());
}

TEST(JournalFailure, AFailureOutsideTheStatementRunnerIsReportedAndTheCallerGoesOn) {
  FakeOs os;
  os.fail("journal", EMFILE);
  squid_admin_mysql(os, 1, "Success Stopping proxy service", "");
  EXPECT_EQ(os.lines(), std::vector<std::string>{"[ERROR]: Sqlite in squid_admin_mysql\nstd::system_error: open "
                                                 "the journal: Too many open files\n"});
}

// SQLite is loaded at the first event; failing that is a journal failure.
TEST(JournalFailure, AnSqliteLibraryThatCannotBeLoadedIsReportedAndTheCallerGoesOn) {
  const std::string incomplete = INCOMPLETE_HELPER_LIBRARY_DIR "/libunix.so";
  const struct {
    std::string file, failure;
  } cases[] = {
      {"libsqlite3-absent.so.0",
       "cannot load the SQLite library libsqlite3-absent.so.0: libsqlite3-absent.so.0: cannot open shared object "
       "file: No such file or directory"},
      {incomplete, "the SQLite library " + incomplete + " lacks sqlite3_open_v2"},
  };
  for (const auto& c : cases) {
    FakeMachine machine;
    machine.os_.use_sqlite_library(c.file);
    squid_admin_mysql(machine.os_, 0, "Failed to start proxy service", "");
    EXPECT_EQ(machine.os_.lines(),
              std::vector<std::string>{"[ERROR]: Sqlite in squid_admin_mysql\nstd::runtime_error: " + c.failure + "\n"})
        << c.file;
    // Loading is tried again at the next event, which the system's library writes.
    machine.os_.use_sqlite_library("");
    squid_admin_mysql(machine.os_, 1, "Success Stopping proxy service", "");
    const auto rows = journal_rows(machine.db_);
    ASSERT_EQ(rows.size(), 1u) << c.file;
    EXPECT_EQ(rows[0].subject, "Success Stopping proxy service");
  }
}

}  // namespace
}  // namespace pw
