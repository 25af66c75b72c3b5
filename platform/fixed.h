// Fixed paths of the machine's side: the helper library and the event database.
#pragma once

namespace pw {

inline constexpr char kHelperLibraryName[] = "libunix.so";
// Searched last, after the loader's own search path.
inline constexpr char kHelperLibraryDir[] = "/usr/share/brantelbase/ressources";
inline constexpr char kHelperLibraryPath[] = "/usr/share/brantelbase/ressources/libunix.so";
// Where the helper library keeps the appliance's settings, one file per key.
inline constexpr char kSettingsDir[] = "/etc/brantelbase/settings";
inline constexpr char kEventDatabase[] = "/home/brantel/SQLITE/system_events.db";
// The shell that runs the fixed command lines.
inline constexpr char kShell[] = "/bin/sh";

}  // namespace pw
