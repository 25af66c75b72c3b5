// The stop sequence: the proxy's own kill command, six one-second wait passes,
// then SIGTERM and SIGKILL, and a sweep of the proxy user's processes.
#pragma once

#include "platform/os.h"

namespace pw {

// True when the main proxy process is gone at the end; false when none ran at
// the start, or when it is still there after the forced stop.
bool squid_stop(Os& os);

}  // namespace pw
