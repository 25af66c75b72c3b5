// What a process is to the proxy's sequences: the main proxy process, another
// process of the proxy user, or neither. The one place that decides it.
#pragma once

#include <functional>
#include <optional>

#include "platform/os.h"

namespace pw {

enum class Identity { kNeither, kProxyUser, kMain };

// What SEEN shows its process to be. CANDIDATE is the PID that the PID file
// names, read once for the decision at hand (0 for none). The main process is
// either the candidate, when it runs the proxy's program or its path may not be
// read, or a process of the proxy user that runs the proxy's program. A proxy
// user's process has a path and the proxy user as its owner. A thread's ID, and
// a process whose root directory is not the program's, are none of them;
// unless the PID file names it, neither is a process whose owner was not
// looked at. A process whose command line holds one of the proxy's control
// options (-k, -z) is never the main one; one not read, or empty, holds none.
// Throws the path's error for a process of the proxy user whose path could not
// be read, and for the candidate when that error is not a refusal.
Identity verdict_of(const Snapshot& seen, Pid candidate);

// Opens a handle on PID and looks through it: what the look shows, when its
// verdict is LEAST or above (kMain, or kProxyUser which takes in kMain);
// nullopt when it is not, or the process ends meanwhile. LOOK is how much is
// read, and the command line too where the glance shows the proxy's program. A
// glance at the path by PID first spares the handle where it cannot qualify.
std::optional<Snapshot> qualifying_look(Os& os, Pid pid, Identity least, Pid candidate, Look look);

// Calls VISIT, in the table's order, with what qualifying_look() shows of each
// process that qualifies, until VISIT returns false.
void walk_processes(Os& os, Identity least, Pid candidate, Look look,
                    const std::function<bool(const Snapshot&)>& visit);

}  // namespace pw
