// Helpers shared by the tests of every layer: a temporary directory, whole
// files, and running a program with its output collected.
#pragma once

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
void write_whole_file(const std::string& path, const std::string& data);

struct Finished {
  int status;  // the exit status, or 128 + the signal that ended it
  std::string out, err;
};
// Runs ARGV with ENVIRONMENT ("NAME=value" entries) added to this process's
// environment, standard input from /dev/null, and collects its output. No
// word may hold a single quote.
Finished run_program(const std::vector<std::string>& argv, const std::vector<std::string>& environment = {});

}  // namespace pw
