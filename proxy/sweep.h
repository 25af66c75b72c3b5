// The proxy user's processes: listing them, sweeping them away after a stop,
// and printing them for the ps action.
#pragma once

#include <string>
#include <vector>

#include "platform/os.h"

namespace pw {

// The PIDs of the proxy-user processes (a non-empty executable path, owned by
// the user squid), in the table's order. A process that cannot be examined is
// passed over.
std::vector<Pid> all_pids(Os& os);

// Sends SIGTERM and SIGKILL to every proxy-user process. True when none is
// listed afterwards (or none was there).
bool gosts_stop(Os& os);

// Prints one line per proxy-user process: "[PID] 'PATH'[ARGUMENTS] (PARENT)".
void ps_aux(Os& os);

// A command line as a bracketed list of quoted arguments: ['a', "b'c", 'd\n'].
std::string list_form(const std::vector<std::string>& arguments);

}  // namespace pw
