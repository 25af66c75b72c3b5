// A stand-in for the proxy program, for tests: it understands the three command
// lines the controller runs (-sYC to start, -k kill, -k reconfigure) and can be
// told to misbehave. Settings come from the environment:
//   FAKE_SQUID_MODE     comma-separated: never (never comes up), stubborn
//                       (ignores SIGTERM and the kill command), respawn (a
//                       supervisor of root's keeps two running), spin (uses the CPU),
//                       strays (two helper processes that outlive it), late=N
//                       (stays root, unseen, for N seconds before it comes up)
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace {

std::string setting(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : fallback;
}

bool mode(const std::string& word) {
  const std::string modes = "," + setting("FAKE_SQUID_MODE", "") + ",";
  return modes.find("," + word + ",") != std::string::npos || modes.find("," + word + "=") != std::string::npos;
}

int mode_number(const std::string& word) {
  const std::string modes = "," + setting("FAKE_SQUID_MODE", "") + ",";
  const auto at = modes.find("," + word + "=");
  return at == std::string::npos ? 0 : std::atoi(modes.c_str() + at + word.size() + 2);
}

constexpr char kPidFile[] = "/var/run/squid/squid.pid";

pid_t pid_in_file() {
  std::ifstream in(kPidFile);
  long pid = 0;
  in >> pid;
  return static_cast<pid_t>(pid);
}

void write_pid_file() {
  const std::string temp = std::string(kPidFile) + ".new";
  std::ofstream(temp) << ::getpid() << "\n";
  (void)std::rename(temp.c_str(), kPidFile);
}

void drop_privileges() {
  uid_t uid = 0;
  gid_t gid = 0;
  if (const passwd* user = ::getpwnam("squid")) {
    uid = user->pw_uid;
    gid = user->pw_gid;
  } else {
    return;
  }
  if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0) std::_Exit(3);
}

// The PID file for the SIGTERM handler, set before the handler is installed:
// the handler only reads it, and unlink and _Exit are async-signal-safe.
const char* term_pid_file = nullptr;

void on_term(int) {
  ::unlink(term_pid_file);
  std::_Exit(0);
}

[[noreturn]] void serve() {
  (void)::signal(SIGHUP, SIG_IGN);  // reconfigure
  term_pid_file = kPidFile;
  (void)::signal(SIGTERM, mode("stubborn") ? SIG_IGN : on_term);
  if (mode("strays")) {
    for (int i = 0; i < 2; ++i) {
      if (::fork() == 0) {
        // Helpers run programs of their own, as the proxy's helpers do.
        ::execl("/bin/sleep", "sleep", "3600", static_cast<char*>(nullptr));
        std::_Exit(4);
      }
    }
  }
  write_pid_file();
  if (mode("spin")) {
    for (;;) asm volatile("" ::: "memory");
  }
  for (;;) ::pause();
}

// The daemon: detached from the shell that started it, running as the proxy user.
void start() {
  if (::fork() != 0) return;  // the launch command returns at once
  ::setsid();
  const int null = ::open("/dev/null", O_RDWR);
  ::dup2(null, 0);
  ::dup2(null, 1);
  ::dup2(null, 2);
  if (mode("never")) std::_Exit(0);
  if (!mode("respawn")) {
    // Until it is late enough, the daemon is still root's and shows nowhere.
    if (const int late = mode_number("late")) ::sleep(static_cast<unsigned>(late));
    drop_privileges();
    serve();
  }
  // A supervisor of root's, as a service manager would be, that keeps two
  // daemons running and starts another the moment one ends: some proxy process
  // is always there to be found, and after a forced stop one is back at once.
  auto spawn = [] {
    if (::fork() == 0) {
      drop_privileges();
      serve();
    }
  };
  spawn();
  spawn();
  for (;;) {
    if (::wait(nullptr) > 0) spawn();
  }
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "-k") == 0 && i + 1 < argc) {
      const pid_t pid = pid_in_file();
      if (pid <= 0) return 1;
      if (std::strcmp(argv[i + 1], "kill") == 0) return mode("stubborn") ? 0 : ::kill(pid, SIGKILL) == 0 ? 0 : 1;
      if (std::strcmp(argv[i + 1], "reconfigure") == 0) return ::kill(pid, SIGHUP) == 0 ? 0 : 1;
      return 1;
    }
    if (std::strncmp(argv[i], "-s", 2) == 0) {
      start();
      return 0;
    }
  }
  (void)std::fprintf(stderr, "fake squid: nothing to do\n");
  return 1;
}
