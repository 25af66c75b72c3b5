#include "testing/test_util.h"

#include <stdlib.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace pw {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "proxywarden-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string read_whole_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

void write_whole_file(const std::string& path, const std::string& data) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
}

Finished run_program(const std::vector<std::string>& argv, const std::vector<std::string>& environment) {
  TempDir dir;
  std::string command = "exec env";
  for (const auto& word : environment) command += " '" + word + "'";
  for (const auto& word : argv) command += " '" + word + "'";
  command += " </dev/null >" + dir / "out" + " 2>" + dir / "err";
  const int status = std::system(command.c_str());
  if (status < 0) throw std::runtime_error("cannot start /bin/sh");
  return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), read_whole_file(dir / "out"),
          read_whole_file(dir / "err")};
}

}  // namespace pw
