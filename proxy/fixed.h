// The proxy's fixed paths, command lines, limits and the lines this layer prints.
#pragma once

#include <cstddef>

namespace pw {

inline constexpr char kSquidBinary[] = "/usr/sbin/squid";  // what a proxy's path contains
inline constexpr char kPidFile[] = "/var/run/squid/squid.pid";
inline constexpr char kProxyUser[] = "squid";
// How Squid reads its command line: its getopt string (a letter before ':'
// takes a value, in the rest of its word or the next word; before "::" only in
// the rest of its word), its one long option that takes a value, and the
// options that make a run one of its control commands rather than the proxy.
inline constexpr char kSquidOptions[] = "CDFNRSYXa:d:f:hik:m::n:sl:u:vz?";
inline constexpr char kSquidValuedLongOption[] = "kid";
inline constexpr char kSquidControlOptions[] = "kz";
// The most of the PID file that is read: a PID and white space fit many times.
inline constexpr std::size_t kPidFileLimit = 4096;

// Start sequence.
inline constexpr char kSysctl[] = "/sbin/sysctl";
inline constexpr long long kPortRangeTop = 65535;
inline constexpr char kMaxFiledesc[] = "max_filedesc";
inline constexpr char kPortRangeCommand[] = "%s -w net.ipv4.ip_local_port_range=\"8000 %s\"";
inline constexpr char kLaunchCommand[] = "/usr/sbin/squid -sYC -f /etc/squid3/squid.conf >/dev/null 2>&1";
// Where systemd runs the machine, the launch asks the service manager to start
// the proxy's unit, which runs the launch command, and runs that command itself
// only where the manager cannot be reached in time (the script says how).
inline constexpr char kLaunchUnitCommand[] = "/usr/libexec/proxywarden/launch-squid";
inline constexpr int kProbes = 6;

inline constexpr char kAlreadyStartedLine[] = "[Starting]......: Already started pid %s";
inline constexpr char kPortRangeLine[] = "[Starting]......: Proxy ip_local_port_range: %s";
inline constexpr char kLaunchLine[] = "[Starting]......: Proxy service";
inline constexpr char kProbeLine[] = "[Starting]......: Proxy service waiting %s...";
inline constexpr char kStartedLine[] = "[Starting]......: Proxy service success pid %s...";
inline constexpr char kStartFailedLine[] = "[Starting]......: Proxy service [FAILED]...";
inline constexpr char kStartedSubject[] = "Success Starting proxy service with PID %s";
inline constexpr char kStartFailedSubject[] = "Failed to start proxy service";

// Stop sequence.
inline constexpr char kKillCommand[] = "/usr/sbin/squid -f /etc/squid3/squid.conf -k kill >/dev/null 2>&1";
inline constexpr int kWaitPasses = 6;

inline constexpr char kTerminateLine[] = "[Stopping]......: Terminate process %s";
inline constexpr char kWaitingLine[] = "[Stopping]......: Waiting pid %s %s/5";
inline constexpr char kSmoothLine[] = "[Stopping]......: Terminate process %s success (smoothly)";
inline constexpr char kTerminatedLine[] = "[Stopping]......: Terminate process success";
inline constexpr char kKillingLine[] = "[Stopping]......: Killing process %s";
inline constexpr char kStopFailedLine[] = "[Stopping]......: [Failed]";
inline constexpr char kStoppedSubject[] = "Success Stopping proxy service";
inline constexpr char kStopFailedSubject[] = "Failed Stopping proxy service";

// Sweep and listing.
inline constexpr char kNoOthersLine[] = "[Stopping]......: No other processes.";
inline constexpr char kSignalLine[] = "[Stopping]......: Terminate process %s [%s]";
inline constexpr char kSignalFailedLine[] = "[Stopping]......: Terminated process %s [%s]";
inline constexpr char kListingLine[] = "[%s] '%s'[%s] (%s)";

// Journal severities.
inline constexpr int kSeverityStarted = 2;
inline constexpr int kSeverityStopped = 1;
inline constexpr int kSeverityFailed = 0;

}  // namespace pw
