// Finding the main proxy process: from the proxy's PID file when it names a
// running proxy, otherwise by a scan of the process table.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/os.h"

namespace pw {

// The PID of the main proxy process, or nullopt when none runs.
std::optional<Pid> squid_pid(Os& os);

// The PID that a PID file's content names; 0 when it names no usable one
// (not a decimal integer, not greater than 0, or too large to be a PID).
Pid pid_file_number(std::string_view content);

// The PID that the PID file names now; 0 when it is missing or names none.
Pid pid_file_pid(Os& os);

// Calls VISIT, in the table's order, with each process that the scan takes
// for the main proxy process (its path contains the proxy's program and its
// owner is the proxy user), until VISIT returns false.
void scan_proxy_processes(Os& os, const std::function<bool(Pid)>& visit);

// Whether the owner of PID is the proxy user; false when the process has ended.
bool owned_by_proxy_user(Os& os, Pid pid);

// The executable path of PID, read for a selection by owner. nullopt when the
// process cannot be selected: it has ended, or its path cannot be read and it
// belongs to another user. When the path of a process of the proxy user cannot
// be read, the error stands and the run ends.
std::optional<std::string> selectable_exe_path(Os& os, Pid pid);

}  // namespace pw
