#include "front/watchdog.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "front/actions.h"
#include "front/fixed.h"
#include "proxy/discovery.h"
#include "report/journal.h"

namespace pw {
namespace {

enum class Load { kCpu, kMemory };

// The share of the main proxy process, rounded; nullopt when there is no main
// process or measuring it fails in any way. The CPU share is the CPU time the
// process used over a one-second window, against the wall time of the window.
std::optional<double> measure(Os& os, Load load) {
  const auto pid = squid_pid(os);
  if (!pid) return std::nullopt;
  try {
    const auto process = os.open_process(*pid);
    double share = 0;
    if (load == Load::kMemory) {
      share = process->memory_percent();
    } else {
      const double wall_before = os.monotonic_seconds();
      const double cpu_before = process->cpu_seconds();
      os.sleep(kCpuWindowSeconds);
      const double cpu_after = process->cpu_seconds();
      const double wall = os.monotonic_seconds() - wall_before;
      share = wall > 0 ? (cpu_after - cpu_before) * 100.0 / wall : 0.0;
    }
    return round2(share);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

void watchdog_restart(Os& os, Load load) {
  const std::string tail = load == Load::kCpu ? kCpuSubjectTail : kMemorySubjectTail;
  const auto figure = measure(os, load);
  squid_admin_mysql(os, kWatchdogSeverity, kRestartSubjectHead + figure_text(figure) + tail, "");
  restart_sequence(os);
}

// Whether a main proxy process is still found at each probe after a
// reconfigure. Each probe looks afresh: a main process that another follows
// counts as running.
bool survives_reconfigure(Os& os) {
  for (int probe = 0; probe < kReloadProbes; ++probe) {
    os.sleep(1);
    if (!squid_pid(os)) return false;
  }
  return true;
}

}  // namespace

void reload_timeout_action(Os& os) {
  // Only a proxy that ran before the reload can be lost to it.
  const bool ran = squid_pid(os).has_value();
  squid_admin_mysql(os, kWatchdogSeverity, kReloadSubject, "");
  os.shell(kReconfigureCommand);
  if (!ran || survives_reconfigure(os)) return;
  squid_admin_mysql(os, kWatchdogSeverity, kReloadFailedSubject, "");
  throw std::runtime_error(kReloadFailedError);
}

void restart_cpu_action(Os& os) { watchdog_restart(os, Load::kCpu); }
void restart_memory_action(Os& os) { watchdog_restart(os, Load::kMemory); }

double round2(double value) {
  if (!std::isfinite(value)) return value;
  // The exact decimal expansion of the double: enough digits for the smallest
  // subnormal, so nothing is rounded by the conversion itself.
  char exact[1500];
  const int length = std::snprintf(exact, sizeof exact, "%.1100f", std::fabs(value));
  if (length <= 0 || length >= static_cast<int>(sizeof exact)) return value;
  std::string digits(exact, static_cast<size_t>(length));
  const auto point = digits.find('.');
  // Keep two decimals; the rest decides: above half rounds up, exactly half
  // rounds away from zero, below half rounds down.
  const bool up = digits[point + 3] >= '5';
  std::string kept = digits.substr(0, point) + digits.substr(point + 1, 2);
  if (up) {
    int at = static_cast<int>(kept.size()) - 1;
    while (at >= 0 && kept[at] == '9') kept[at--] = '0';
    if (at < 0) {
      kept.insert(kept.begin(), '1');
    } else {
      ++kept[at];
    }
  }
  kept.insert(kept.size() - 2, ".");
  const double rounded = std::strtod(kept.c_str(), nullptr);
  return std::signbit(value) ? -rounded : rounded;
}

std::string figure_text(std::optional<double> figure) {
  if (!figure) return "0";
  char text[64];
  (void)std::snprintf(text, sizeof text, "%.12g", *figure);
  std::string written = text;
  if (written.find_first_of(".e") == std::string::npos) written += ".0";
  return written;
}

}  // namespace pw
