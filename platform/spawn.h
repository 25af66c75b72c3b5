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
// The first of HELD that has arrived meanwhile and is not ignored, or 0.
int held_ending_signal(unsigned held);
// Ends the process by SIGNAL, with that signal's default disposition.
void end_by(int signal);

// Runs COMMAND_LINE through /bin/sh, in a session of its own with no signal
// blocked and the default disposition of every signal the run handles, holds
// or found ignored, and waits for it. Throws when it cannot be started or
// waited for.
void run_shell(const std::string& command_line);

}  // namespace pw
