// The proxy user's processes: listing them, sweeping them away after a stop,
// and printing them for the ps action.
#pragma once

#include <string>
#include <vector>

#include "platform/os.h"

namespace pw {

// The PIDs of the proxy-user processes (a non-empty executable path, owned by
// the user squid), in the table's order. A process that ends while it is
// examined is passed over, and so is one of another user whose path cannot be
// read; any other failure ends the run.
std::vector<Pid> all_pids(Os& os);

// Sends SIGTERM and SIGKILL to every proxy-user process. True when none is
// listed afterwards (or none was there).
bool gosts_stop(Os& os);

// Prints one line per proxy-user process: "[PID] 'PATH'[ARGUMENTS] (PARENT)".
void ps_aux(Os& os);

// A command line as a bracketed list of quoted arguments: ['a', "b'c", 'd\n'].
std::string list_form(const std::vector<std::string>& arguments);

// An executable path as the listing and the sweep print it: its control
// characters escaped as the list form escapes them, so that a path cannot
// make a line of its own; any other byte as it is.
std::string printable_path(const std::string& path);

}  // namespace pw
