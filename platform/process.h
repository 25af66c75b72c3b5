// The real Os's view of one process by PID (a glance) and its handle on one
// process (process.cc), built on the /proc readers of proc.h.
#pragma once

#include <memory>

#include "platform/os.h"
#include "platform/proc.h"

namespace pw {

// The executable path of PID read by PID, unconfirmed. Throws ProcessEnded
// when the process has ended.
Glance read_glance(Pid pid);

// A handle on PID, a pidfd where the kernel offers one, whose looks name
// owners through NAMES. Throws ProcessEnded when no process has that PID.
std::unique_ptr<Process> open_real_process(Pid pid, UserNames& names);

}  // namespace pw
