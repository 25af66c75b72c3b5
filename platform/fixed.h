// Fixed paths of the machine's side: the helper library and the event database,
// and the limit on open files that a run wants.
#pragma once

#include "platform/text.h"

namespace pw {

// The appliance's shared directory, which holds the helper library and the
// console's files. CMakeLists.txt reads it from this line to install the
// library there.
inline constexpr char kResourcesDir[] = "/usr/share/brantelbase/ressources";
inline constexpr char kHelperLibraryName[] = "libunix.so";
// Searched last, after the loader's own search path.
inline constexpr auto& kHelperLibraryPath = joined<kResourcesDir, "/", kHelperLibraryName>;
// Where the helper library keeps the appliance's settings, one file per key.
inline constexpr char kSettingsDir[] = "/etc/brantelbase/settings";
inline constexpr char kEventDatabase[] = "/home/brantel/SQLITE/system_events.db";
// The system's SQLite library, by its soname; loaded when the first journal
// event is written.
inline constexpr char kSqliteLibrary[] = "libsqlite3.so.0";
// The password file, which confirms a uid that the password database does not name.
inline constexpr char kPasswordFile[] = "/etc/passwd";
// The shell that runs the fixed command lines.
inline constexpr char kShell[] = "/bin/sh";
// This process's open descriptors, one link per descriptor.
inline constexpr char kOwnDescriptors[] = "/proc/self/fd";
// The soft limit on open files that a run raises its own to, within the hard
// limit: under a dozen, the shell cannot even redirect a command's output, as
// it keeps the descriptors it saves at 10 and above.
inline constexpr long kOpenFilesWanted = 1024;
// Below this soft limit no command is run: a run that cannot raise its limit
// this far (a hard limit under it) ends before its first command, rather than
// in the middle of a sequence, such as a restart with the proxy stopped.
inline constexpr long kOpenFilesNeeded = 32;
// Present where systemd runs the machine, as sd_booted(3) tells.
inline constexpr char kSystemdRuntimeDir[] = "/run/systemd/system/";

}  // namespace pw
