// The event journal: one row per event of the proxy service in the table
// squid_admin_mysql of the appliance's SQLite event database.
#pragma once

#include <cstdint>
#include <string>

#include "platform/os.h"

namespace pw {

// Records one event, stamped with the seam's clock and kept for a week. A
// journal that cannot be written prints an "[ERROR]: " line; this never fails.
void squid_admin_mysql(Os& os, int severity, const std::string& subject, const std::string& text);

// The INSERT statement for an event at time ZDATE.
std::string journal_statement(std::int64_t zdate, int severity, const std::string& subject, const std::string& text);

// TEXT as the body of an SQL string literal: each single quote doubled.
std::string sql_quoted(const std::string& text);

}  // namespace pw
