// Starting the fixed commands, and the signal dispositions of a run around them.
#pragma once

#include <string>

namespace pw {

// SIGCHLD to its default whatever the caller ignored; SIGPIPE and SIGXFSZ
// make the write that meets them fail instead of ending the run.
void set_run_dispositions();

// Holds SIGHUP, SIGINT, SIGQUIT and SIGTERM; returns those it holds (not the
// ones the caller blocked), a bit per signal.
unsigned hold_ending_signals();
// Lets HELD through again: one that came meanwhile ends the process now, by
// that signal, unless the caller ignored it.
void release_ending_signals(unsigned held);

// Runs COMMAND_LINE through /bin/sh, in a session of its own with no signal
// blocked and every signal's default disposition, and waits for it. Throws
// when it cannot be started or waited for.
void run_shell(const std::string& command_line);

}  // namespace pw
