#include "report/journal.h"

#include "platform/text.h"
#include "report/failure.h"
#include "report/fixed.h"
#include "report/query_sql.h"

namespace pw {

std::string sql_quoted(const std::string& text) {
  std::string quoted;
  quoted.reserve(text.size() + 8);
  for (const char c : text) {
    quoted += c;
    if (c == '\'') quoted += '\'';
  }
  return quoted;
}

std::string journal_statement(std::int64_t zdate, int severity, const std::string& subject, const std::string& text) {
  return fill(kJournalInsert, {std::to_string(zdate), sql_quoted(text), sql_quoted(subject), std::to_string(severity),
                               std::to_string(zdate + kJournalKeepSeconds)});
}

void squid_admin_mysql(Os& os, int severity, const std::string& subject, const std::string& text) {
  const std::string sql = journal_statement(os.now(), severity, subject, text);
  try {
    QUERY_SQL(os, sql, os.begin_journal_event());
  } catch (const std::exception& e) {
    os.out(fill(kSqliteErrorLine, {failure_report("squid_admin_mysql", e)}));
  }
}

}  // namespace pw
