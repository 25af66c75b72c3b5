#include "testing/test_util.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace pw {
namespace {

// Whatever the test binary inherited: the tests wait for their children, whom
// an ignored SIGCHLD would have reaped unseen, and write the files they make.
[[maybe_unused]] const bool kOwnState = (::umask(022), ::signal(SIGCHLD, SIG_DFL) != SIG_ERR);

}  // namespace

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

std::ptrdiff_t open_files() { return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}); }

void write_whole_file(const std::string& path, const std::string& data) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
}

pid_t fork_with_default_signals() {
  sigset_t all, mask;
  ::sigfillset(&all);
  (void)::sigprocmask(SIG_SETMASK, &all, &mask);
  const pid_t pid = ::fork();
  if (pid == 0) {
    // What came meanwhile waits, blocked, and meets the default once let through.
    const struct sigaction action {};  // SIG_DFL
    // SIGKILL, SIGSTOP and the C library's own signals refuse it.
    for (int signal = 1; signal < NSIG; ++signal) (void)::sigaction(signal, &action, nullptr);
    ::sigemptyset(&mask);
  }
  (void)::sigprocmask(SIG_SETMASK, &mask, nullptr);
  return pid;
}

Finished run_program(const std::vector<std::string>& argv, const std::vector<std::string>& environment) {
  TempDir dir;
  std::string command = "exec /usr/bin/env";
  for (const auto& word : environment) command += " '" + word + "'";
  for (const auto& word : argv) command += " '" + word + "'";
  command += " </dev/null >" + dir / "out" + " 2>" + dir / "err";
  const pid_t child = fork_with_default_signals();
  if (child == 0) {
    ::execl("/bin/sh", "sh", "-c", command.c_str(), nullptr);
    ::_exit(127);
  }
  int status = 0;
  if (child < 0 || ::waitpid(child, &status, 0) < 0) throw std::runtime_error("cannot start /bin/sh");
  return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), read_whole_file(dir / "out"),
          read_whole_file(dir / "err")};
}

}  // namespace pw
