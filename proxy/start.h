// The start sequence: clear a stale PID file, tune the local port range, launch
// the proxy and probe for its main process.
#pragma once

#include "platform/os.h"

namespace pw {

// True when a main proxy process was found after the launch; false when one
// already ran (nothing is launched then) or none appeared within six probes.
bool squid_start(Os& os);

}  // namespace pw
