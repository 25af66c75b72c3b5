// Finding the main proxy process: from the proxy's PID file when it names a
// running proxy, otherwise by a scan of the process table.
#pragma once

#include <optional>
#include <string_view>

#include "platform/os.h"

namespace pw {

// The PID of the main proxy process, or nullopt when none runs.
std::optional<Pid> squid_pid(Os& os);

// The same, with CANDIDATE taken for what the PID file names (0 for none).
std::optional<Pid> main_process(Os& os, Pid candidate);

// The PID that a PID file's content names; 0 when it names no usable one
// (not a decimal integer, not greater than 0, or too large to be a PID).
Pid pid_file_number(std::string_view content);

// The PID file as it is now, read to at most kPidFileLimit bytes.
SmallFile read_pid_file(Os& os);

// The PID that a read of the PID file names; 0 when it is missing or names none.
Pid pid_file_pid(const SmallFile& file);

// The PID that the PID file names now; 0 when it is missing or names none.
Pid pid_file_pid(Os& os);

}  // namespace pw
