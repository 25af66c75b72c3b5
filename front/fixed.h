// The front end's fixed texts: the progress records of the actions, the pid
// line, and the watchdog's subjects, reconfigure command and probes.
#pragma once

namespace pw {

inline constexpr char kProgram[] = "proxywarden";
inline constexpr char kPidLine[] = "PID of main proxy service is [%s]";
inline constexpr char kNoPid[] = "None";

inline constexpr int kStopPhase = 35;
inline constexpr int kStartPhase = 65;
inline constexpr int kDone = 100;
inline constexpr int kFailed = 110;
inline constexpr char kStopping[] = "Stopping...";
inline constexpr char kStarting[] = "Starting...";
inline constexpr char kStartFailed[] = "Starting {failed}...";
inline constexpr char kStartSucceeded[] = "Starting {success}...";
inline constexpr char kStopFailed[] = "Stopping {failed}...";
inline constexpr char kStopSucceeded[] = "Stopping {success}...";

inline constexpr char kReconfigureCommand[] =
    "/usr/sbin/squid -f /etc/squid3/squid.conf -k reconfigure >/dev/null 2>&1";
inline constexpr char kReloadSubject[] =
    "Reloading Proxy service (Timeout exceed 15s) by the Watchdog Ports monitoring";
// Squid exits within a few seconds of a reconfigure it cannot apply: after a
// reload that a proxy ran into, one probe a second for this many seconds tells
// whether it survived.
inline constexpr int kReloadProbes = 6;
inline constexpr char kReloadFailedSubject[] = "Failed to reload proxy service: no proxy runs after the reconfigure";
inline constexpr char kReloadFailedError[] = "the proxy no longer runs after the reconfigure";
inline constexpr char kRestartSubjectHead[] = "Restarting Proxy service (";
inline constexpr char kCpuSubjectTail[] = "% CPU usage) by the Watchdog CPU monitoring";
inline constexpr char kMemorySubjectTail[] = "% memory usage) by the Watchdog Memory monitoring";
inline constexpr int kWatchdogSeverity = 0;
// The window over which the CPU share is measured.
inline constexpr int kCpuWindowSeconds = 1;

}  // namespace pw
