// The resource limits of one run, set at its start; the commands it starts
// inherit them.
#pragma once

namespace pw {

// Raises the soft limit on open files to what the run and its commands need,
// never past the hard limit and never below what it was. A limit that the
// kernel refuses to change is left as it is.
void raise_open_file_limit() noexcept;

// Throws when the soft limit on open files is below what a command needs.
void require_open_files_for_commands();

}  // namespace pw
