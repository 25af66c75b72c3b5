// Helpers shared by the tests of every layer: a temporary directory, whole
// files, open descriptors, clean forks, and programs run with their output.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

namespace pw {

// A fresh directory, removed with all it holds when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string read_whole_file(const std::string& path);
// The number of this process's open descriptors.
std::ptrdiff_t open_files();
void write_whole_file(const std::string& path, const std::string& data);

// fork(), the child with every signal's default disposition and an empty mask,
// set before any signal sent to it is delivered: a process a test forks sets
// what it relies on, whatever the test binary inherited.
pid_t fork_with_default_signals();

struct Finished {
  int status;  // the exit status, or 128 + the signal that ended it
  std::string out, err;
};
// Runs ARGV (its first word a path) with ENVIRONMENT ("NAME=value" entries)
// added to this process's environment, the default signals, standard input
// from /dev/null, and collects its output. No word may hold a single quote.
Finished run_program(const std::vector<std::string>& argv, const std::vector<std::string>& environment = {});

}  // namespace pw
