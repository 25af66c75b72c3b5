#include "testing/test_util.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string_view>

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

Finished run_program(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
                     Streams streams) {
  TempDir dir;
  const std::string out = dir / "out", err = dir / "err";
  // Everything the child needs is made before the fork: it allocates nothing.
  std::vector<std::string> entries = environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string_view name(*entry, std::strcspn(*entry, "="));
    const auto overridden = [&](const std::string& e) {
      return e.starts_with(name) && e.size() > name.size() && e[name.size()] == '=';
    };
    if (std::none_of(environment.begin(), environment.end(), overridden)) entries.emplace_back(*entry);
  }
  std::vector<char*> args, env;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  for (const auto& e : entries) env.push_back(const_cast<char*>(e.c_str()));
  env.push_back(nullptr);
  const pid_t child = ::fork();
  if (child < 0) throw std::runtime_error("fork failed");
  if (child == 0) {
    const int in = ::open("/dev/null", O_RDONLY);
    const int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0600);
    const int e = streams == Streams::kTogether ? o : ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(in, 0);
    ::dup2(o, 1);
    ::dup2(e, 2);
    ::execve(args[0], args.data(), env.data());
    ::_exit(127);
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), read_whole_file(out), read_whole_file(err)};
}

}  // namespace pw
