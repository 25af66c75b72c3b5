// The watchdog's actions: a configuration reload, and restarts that record the
// CPU or memory share of the main proxy process.
#pragma once

#include <optional>
#include <string>

#include "platform/os.h"

namespace pw {

// Journals the reload and runs the reconfigure. When a proxy ran before it and
// none runs within six seconds after, journals that too and throws.
void reload_timeout_action(Os& os);
void restart_cpu_action(Os& os);
void restart_memory_action(Os& os);

// The multiple of 0.01 nearest to the exact value of VALUE, as the nearest
// double; an exact tie goes away from zero (0.125 gives 0.13, 2.675 gives 2.67).
double round2(double value);

// The load figure as the subject shows it: "0" for a figure that was not
// measured, else %.12g with ".0" added when no point or exponent shows.
std::string figure_text(std::optional<double> figure);

}  // namespace pw
