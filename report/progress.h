// Progress records for the web console: a percentage and a message, PHP-serialized
// into the file that the console polls.
#pragma once

#include <string>

#include "platform/os.h"

namespace pw {

// The record's bytes: a:2:{s:5:"POURC";i:PRC;s:4:"TEXT";s:LEN:"TEXT";}
std::string progress_record(long long prc, const std::string& text);

// Replace the start/stop progress file with the record.
void progress(Os& os, long long prc, const std::string& text);
// Replace the restart progress file with the record.
void progress_restart(Os& os, long long prc, const std::string& text);

}  // namespace pw
