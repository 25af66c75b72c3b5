// The console's actions: start, stop, ps, pid and restart, with their progress
// records.
#pragma once

#include "platform/os.h"

namespace pw {

void start_action(Os& os);
void stop_action(Os& os);
void ps_action(Os& os);
void pid_action(Os& os);
// Stop then start, recorded in the restart progress file (35, 65, then 100 or
// 110). The watchdog's restarts run it too.
void restart_sequence(Os& os);

}  // namespace pw
