// The reporting layer's fixed files, formats and texts.
#pragma once

#include <cstdint>

#include "platform/fixed.h"
#include "platform/text.h"

namespace pw {

// The progress files the console polls.
inline constexpr auto& kProgressDir = joined<kResourcesDir, "/logs/web">;
inline constexpr auto& kStartStopProgress = joined<kProgressDir, "/squid.quick.progress">;
inline constexpr auto& kRestartProgress = joined<kProgressDir, "/squid.quick.rprogress">;

inline constexpr char kJournalInsert[] =
    "INSERT OR IGNORE INTO `squid_admin_mysql` "
    "(`zDate`,`content`,`subject`,`function`,`filename`,`line`,`severity`,`removeafter`)  "
    "VALUES('%s', '%s', '%s', 'Proxy Service', 'proxywarden', '0', '%s', '%s')";
inline constexpr std::int64_t kJournalKeepSeconds = 604800;

inline constexpr int kBusyTimeoutMs = 5000;
inline constexpr char kSqlErrorLine[] = "[ERROR]: SQL %s";
inline constexpr char kSqliteErrorLine[] = "[ERROR]: Sqlite %s";

}  // namespace pw
