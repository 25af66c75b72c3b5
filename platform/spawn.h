// Starting the fixed commands.
#pragma once

#include <string>

namespace pw {

// Runs COMMAND_LINE through /bin/sh and waits for it. The command starts in a
// session of its own, with no signal blocked or pending, every signal's
// default disposition, and no descriptor but standard input, output and
// error: nothing of the caller's or the program's reaches it. Throws when it
// cannot be started or waited for.
void run_shell(const std::string& command_line);

}  // namespace pw
