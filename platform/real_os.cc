// The Os of a Linux machine: /proc for the process table, pidfds for signals,
// /bin/sh started with posix_spawn, and the helper library loaded with dlopen.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <string_view>

#include "platform/decimal.h"
#include "platform/error.h"
#include "platform/fixed.h"
#include "platform/libunix.h"
#include "platform/os.h"

extern char** environ;

namespace pw {
namespace {

[[noreturn]] void throw_errno(int err, const std::string& what) {
  throw std::system_error(err, std::generic_category(), what);
}

std::string proc_path(Pid pid, const char* entry) { return "/proc/" + std::to_string(pid) + "/" + entry; }

// How a file under /proc ends: most are made whole at the open, so that a read
// that does not fill the buffer has reached the end; cmdline is read from the
// process's memory piece by piece, up to a read that returns nothing.
enum class ProcFile { kMadeWhole, kPieceByPiece };

// The whole content of a file under /proc; throws naming the file.
std::string read_proc(const std::string& path, ProcFile kind = ProcFile::kMadeWhole) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw_errno(errno, "open " + path);
  std::string content;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      ::close(fd);
      throw_errno(err, "read " + path);
    }
    content.append(buffer, static_cast<size_t>(n));
    if (n == 0 || (kind == ProcFile::kMadeWhole && static_cast<size_t>(n) < sizeof buffer)) break;
  }
  ::close(fd);
  return content;
}

// The fields of /proc/PID/stat that follow the command name, which is in
// parentheses and may itself hold blanks and parentheses.
std::vector<std::string_view> stat_fields(std::string_view stat) {
  std::vector<std::string_view> fields;
  const auto close = stat.rfind(')');
  if (close == std::string_view::npos) return fields;
  stat.remove_prefix(close + 1);
  while (!stat.empty()) {
    const auto start = stat.find_first_not_of(" \n");
    if (start == std::string_view::npos) break;
    stat.remove_prefix(start);
    const auto end = std::min(stat.find_first_of(" \n"), stat.size());
    fields.push_back(stat.substr(0, end));
    stat.remove_prefix(end);
  }
  return fields;
}

long long stat_number(const std::vector<std::string_view>& fields, size_t index, const std::string& path) {
  if (index >= fields.size()) throw_errno(EINVAL, "parse " + path);
  return std::strtoll(std::string(fields[index]).c_str(), nullptr, 10);
}

// readlink of /proc/PID/exe. A process that exists but has no executable
// (a kernel thread, a zombie) has an empty or missing link: "".
std::string read_exe_link(Pid pid) {
  const std::string link = proc_path(pid, "exe");
  char buffer[4096];
  const ssize_t n = ::readlink(link.c_str(), buffer, sizeof buffer);
  if (n < 0) {
    const int err = errno;
    if (err == ENOENT && ::access(proc_path(pid, "").c_str(), F_OK) == 0) return "";
    throw_errno(err, "readlink " + link);
  }
  std::string path(buffer, static_cast<size_t>(n));
  // The kernel marks a replaced or removed program; name the program itself.
  constexpr std::string_view kDeleted = " (deleted)";
  if (path.size() > kDeleted.size() && path.ends_with(kDeleted)) path.resize(path.size() - kDeleted.size());
  return path;
}

double cpu_seconds_of(Pid pid) {
  const std::string path = proc_path(pid, "stat");
  const auto content = read_proc(path);
  const auto fields = stat_fields(content);
  // utime and stime are the 14th and 15th fields; fields[0] is the 3rd.
  const long long ticks = stat_number(fields, 11, path) + stat_number(fields, 12, path);
  return static_cast<double>(ticks) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

double memory_percent_of(Pid pid) {
  const std::string statm = proc_path(pid, "statm");
  const auto fields = read_proc(statm);
  unsigned long long size = 0, resident = 0;
  if (std::sscanf(fields.c_str(), "%llu %llu", &size, &resident) != 2) throw_errno(EINVAL, "parse " + statm);
  const auto meminfo = read_proc("/proc/meminfo");
  unsigned long long total_kib = 0;
  const auto at = meminfo.find("MemTotal:");
  if (at == std::string::npos || std::sscanf(meminfo.c_str() + at, "MemTotal: %llu", &total_kib) != 1 ||
      total_kib == 0) {
    throw_errno(EINVAL, "parse /proc/meminfo");
  }
  const double resident_bytes = static_cast<double>(resident) * static_cast<double>(::sysconf(_SC_PAGESIZE));
  return resident_bytes * 100.0 / (static_cast<double>(total_kib) * 1024.0);
}

// Owners' names from the password database, looked up once per uid in a run.
class UserNames {
 public:
  std::string of_process(Pid pid) {
    const std::string path = proc_path(pid, "status");
    const auto status = read_proc(path);
    const auto at = status.find("\nUid:");
    if (at == std::string::npos) throw_errno(EINVAL, "parse " + path);
    const uid_t uid = static_cast<uid_t>(std::strtoul(status.c_str() + at + 5, nullptr, 10));
    auto [entry, added] = names_.try_emplace(uid);
    if (added) {
      try {
        entry->second = name_of(uid);
      } catch (...) {
        names_.erase(entry);
        throw;
      }
    }
    return entry->second;
  }

 private:
  // A lookup that fails is reported as such, never with an error number that
  // callers would take for a process that has ended.
  [[noreturn]] static void lookup_failed(uid_t uid, int err, const std::string& where) {
    throw std::runtime_error("look up the name of uid " + std::to_string(uid) + where + ": " + std::strerror(err));
  }

  // The decimal uid stands for a user the database does not know; a lookup that
  // fails (the database cannot be read) is an error, never "no such user".
  static std::string name_of(uid_t uid) {
    passwd entry{};
    passwd* found = nullptr;
    std::vector<char> buffer(4096);
    int err = 0;
    while ((err = ::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found)) == ERANGE) {
      buffer.resize(buffer.size() * 2);
    }
    if (found != nullptr) return found->pw_name;
    // The answers POSIX allows for "not found".
    if (err != 0 && err != ENOENT && err != ESRCH && err != EBADF && err != EPERM) lookup_failed(uid, err, "");
    // A chain of sources ("files systemd") answers "not found" even when the
    // password file could not be read: the file itself must confirm it.
    return name_in_password_file(uid).value_or(std::to_string(uid));
  }

  static std::optional<std::string> name_in_password_file(uid_t uid) {
    const std::string where = std::string(" in ") + kPasswordFile;
    std::FILE* file = std::fopen(kPasswordFile, "re");
    if (file == nullptr) lookup_failed(uid, errno, where);
    passwd entry{};
    passwd* found = nullptr;
    std::vector<char> buffer(4096);
    std::optional<std::string> name;
    int err = 0;
    for (;;) {
      err = ::fgetpwent_r(file, &entry, buffer.data(), buffer.size(), &found);
      if (err == ERANGE) {
        buffer.resize(buffer.size() * 2);  // the line is read again
        continue;
      }
      if (err != 0) break;
      if (entry.pw_uid == uid) {
        name = entry.pw_name;
        break;
      }
    }
    (void)std::fclose(file);  // opened for reading only
    // ENOENT marks the end of the file; anything else is a failed read.
    if (!name && err != ENOENT) lookup_failed(uid, err, where);
    return name;
  }

  std::map<uid_t, std::string> names_;
};

class RealProcess final : public Process {
 public:
  // FD is the process's pidfd, or -1 where the kernel offers none.
  RealProcess(Pid pid, int fd, UserNames& names) : pid_(pid), fd_(fd), names_(names) {}
  ~RealProcess() override {
    if (fd_ >= 0) ::close(fd_);
  }
  RealProcess(const RealProcess&) = delete;
  RealProcess& operator=(const RealProcess&) = delete;

  Pid pid() const override { return pid_; }

  // Each query reads /proc by PID and then checks that the opened process is
  // still alive, so that the answer cannot come from a process reusing the PID.
  std::string exe_path() override { return confirmed(read_exe_link(pid_)); }
  std::string user_name() override { return confirmed(names_.of_process(pid_)); }
  double cpu_seconds() override { return confirmed(cpu_seconds_of(pid_)); }
  double memory_percent() override { return confirmed(memory_percent_of(pid_)); }
  void terminate() override { send(SIGTERM, "SIGTERM"); }
  void kill() override { send(SIGKILL, "SIGKILL"); }

 private:
  template <typename T>
  T confirmed(T value) {
    send(0, "signal 0");
    return value;
  }

  void send(int signal, const char* name) {
    const long sent = fd_ >= 0 ? ::syscall(SYS_pidfd_send_signal, fd_, signal, nullptr, 0) : ::kill(pid_, signal);
    if (sent != 0)
      throw_errno(errno, std::string(fd_ >= 0 ? "pidfd_send_signal " : "kill ") + name + " " + std::to_string(pid_));
  }

  Pid pid_;
  int fd_;
  UserNames& names_;
};

// Reports an I/O condition as the failed call's error instead of ending the
// run. A handler, unlike SIG_IGN, is reset to the default by exec, so the
// commands the program runs start with the usual dispositions.
void report_as_error(int /*signal*/) {}

using PutContents = int (*)(const char*, const char*, size_t);
using GetInfoInt = int (*)(const char*, long long*);

class RealOs final : public Os {
 public:
  RealOs() {
    // The loader's own search first, so LD_LIBRARY_PATH can point elsewhere;
    // the appliance's directory last.
    void* library = ::dlopen(kHelperLibraryName, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) library = ::dlopen(kHelperLibraryPath, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
      throw std::runtime_error(std::string("cannot load the helper library ") + kHelperLibraryName + ": " +
                               ::dlerror());
    }
    put_contents_ = reinterpret_cast<PutContents>(symbol(library, "file_put_contents"));
    get_info_int_ = reinterpret_cast<GetInfoInt>(symbol(library, "GET_INFO_INT"));

    struct sigaction action {};
    action.sa_handler = report_as_error;
    action.sa_flags = SA_RESTART;
    ::sigemptyset(&action.sa_mask);
    for (const int signal : {SIGPIPE, SIGXFSZ}) ::sigaction(signal, &action, nullptr);
  }
  ~RealOs() override { (void)flush_output(); }
  RealOs(const RealOs&) = delete;
  RealOs& operator=(const RealOs&) = delete;

  std::vector<Pid> list_processes() override {
    DIR* dir = ::opendir("/proc");
    if (dir == nullptr) throw_errno(errno, "opendir /proc");
    std::vector<Pid> pids;
    for (;;) {
      // readdir tells the end of the directory from a failure only by errno.
      errno = 0;
      const dirent* entry = ::readdir(dir);
      if (entry == nullptr) {
        const int err = errno;
        ::closedir(dir);
        if (err != 0) throw_errno(err, "readdir /proc");
        return pids;
      }
      const char* name = entry->d_name;
      if (name[0] < '0' || name[0] > '9') continue;
      const auto number = parse_decimal(name);
      // A name that starts with a digit is all digits in /proc.
      if (number && *number > 0 && *number <= std::numeric_limits<Pid>::max()) {
        pids.push_back(static_cast<Pid>(*number));
      }
    }
  }

  bool process_exists(Pid pid) override { return ::kill(pid, 0) == 0 || errno == EPERM; }

  std::string exe_path(Pid pid) override { return read_exe_link(pid); }

  std::string user_name(Pid pid) override { return user_names_.of_process(pid); }

  Pid parent_pid(Pid pid) override {
    const std::string path = proc_path(pid, "stat");
    return static_cast<Pid>(stat_number(stat_fields(read_proc(path)), 1, path));
  }

  std::vector<std::string> command_line(Pid pid) override {
    const auto content = read_proc(proc_path(pid, "cmdline"), ProcFile::kPieceByPiece);
    std::vector<std::string> arguments;
    size_t start = 0;
    while (start < content.size()) {
      auto end = content.find('\0', start);
      if (end == std::string::npos) end = content.size();
      arguments.emplace_back(content, start, end - start);
      start = end + 1;
    }
    return arguments;
  }

  std::unique_ptr<Process> open_process(Pid pid) override {
    const int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (fd >= 0) return std::make_unique<RealProcess>(pid, fd, user_names_);
    const int err = errno;
    // A kernel without pidfds, or a filter that refuses them: the handle holds
    // the PID, and only a process that exists can be opened.
    if (err != ENOSYS && err != EPERM) throw_errno(err, "pidfd_open " + std::to_string(pid));
    if (::kill(pid, 0) != 0 && errno == ESRCH) throw_errno(ESRCH, "open " + std::to_string(pid));
    return std::make_unique<RealProcess>(pid, -1, user_names_);
  }

  void shell(const std::string& command_line) override {
    // Our lines must reach the output before anything the command prints.
    (void)flush_output();
    // The shell is started here rather than by system(), which reports a shell
    // that could not be started as a command that was not found. As system()
    // does, the program ignores SIGINT and SIGQUIT while it waits; the shell
    // starts with their default dispositions.
    const char* argv[] = {"sh", "-c", command_line.c_str(), nullptr};
    struct sigaction ignore {
    }, saved_int{}, saved_quit{};
    ignore.sa_handler = SIG_IGN;
    ::sigemptyset(&ignore.sa_mask);
    ::sigaction(SIGINT, &ignore, &saved_int);
    ::sigaction(SIGQUIT, &ignore, &saved_quit);
    posix_spawnattr_t attributes;
    ::posix_spawnattr_init(&attributes);
    sigset_t defaults;
    ::sigemptyset(&defaults);
    ::sigaddset(&defaults, SIGINT);
    ::sigaddset(&defaults, SIGQUIT);
    ::posix_spawnattr_setsigdefault(&attributes, &defaults);
    ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
    pid_t child = 0;
    int err = ::posix_spawn(&child, kShell, nullptr, &attributes, const_cast<char* const*>(argv), environ);
    ::posix_spawnattr_destroy(&attributes);
    int status = 0, wait_error = 0;
    while (err == 0 && ::waitpid(child, &status, 0) < 0) {
      if (errno != EINTR) {
        wait_error = errno;
        break;
      }
    }
    ::sigaction(SIGINT, &saved_int, nullptr);
    ::sigaction(SIGQUIT, &saved_quit, nullptr);
    if (err != 0) throw_errno(err, std::string("start ") + kShell + " for: " + command_line);
    if (wait_error != 0) throw_errno(wait_error, std::string("wait for ") + kShell + " " + std::to_string(child));
  }

  void sleep(int seconds) override {
    (void)flush_output();
    timespec left{seconds, 0};
    while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
  }

  std::int64_t now() override { return static_cast<std::int64_t>(::time(nullptr)); }

  double monotonic_seconds() override {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
  }

  SmallFile read_small_file(const std::string& path, std::size_t limit) override {
    // Looked up first without opening anything, so that a file removed
    // meanwhile is simply not there, and a device put at PATH is never opened.
    const int found = ::open(path.c_str(), O_PATH | O_CLOEXEC);
    if (found < 0) {
      const int err = errno;
      struct stat info {};
      // Missing, a dangling link, or a path that cannot be examined at all.
      if (err == ENOENT || err == ENOTDIR || ::stat(path.c_str(), &info) != 0) return {};
      throw_errno(err, "open " + path);
    }
    struct stat info {};
    if (::fstat(found, &info) != 0 || S_ISDIR(info.st_mode)) {
      const int err = S_ISDIR(info.st_mode) ? EISDIR : errno;
      ::close(found);
      throw_errno(err, "open " + path);
    }
    if (!S_ISREG(info.st_mode) && !S_ISFIFO(info.st_mode)) {
      ::close(found);
      return {.exists = true, .content = std::nullopt};
    }
    // The same file opened for reading, without blocking on a FIFO.
    const int fd =
        ::open(("/proc/self/fd/" + std::to_string(found)).c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    const int open_error = errno;
    ::close(found);
    if (fd < 0) throw_errno(open_error, "open " + path);
    // One byte past the bound tells a file that holds more.
    std::string content(limit + 1, '\0');
    std::size_t used = 0;
    bool readable = true;
    while (used < content.size()) {
      const ssize_t n = ::read(fd, content.data() + used, content.size() - used);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) readable = false;
      if (n <= 0) break;
      used += static_cast<std::size_t>(n);
    }
    ::close(fd);
    if (!readable || used > limit) return {.exists = true, .content = std::nullopt};
    content.resize(used);
    return {.exists = true, .content = std::move(content)};
  }

  void file_put_contents(const std::string& path, const std::string& data) override {
    if (const int err = put_contents_(path.c_str(), data.data(), data.size()); err != 0) {
      throw Error(err, "file_put_contents " + path);
    }
  }

  long long GET_INFO_INT(const std::string& key) override {
    long long value = 0;
    if (const int err = get_info_int_(key.c_str(), &value); err != 0) throw Error(err, "GET_INFO_INT " + key);
    return value;
  }

  std::string begin_journal_event() override {
    // The database may keep the event waiting for its lock.
    (void)flush_output();
    return kEventDatabase;
  }

  void out(const std::string& line) override {
    pending_ += line;
    pending_ += '\n';
    if (pending_.size() >= kOutputBuffer) (void)flush_output();
  }

  int flush_output() override {
    std::string_view rest = pending_;
    while (!rest.empty()) {
      const ssize_t n = ::write(STDOUT_FILENO, rest.data(), rest.size());
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        // Lines that cannot be written are dropped; the first error is kept.
        if (output_error_ == 0) output_error_ = errno;
        break;
      }
      rest.remove_prefix(static_cast<std::size_t>(n));
    }
    pending_.clear();
    return output_error_;
  }

 private:
  static void* symbol(void* library, const char* name) {
    void* address = ::dlsym(library, name);
    if (address == nullptr) {
      throw std::runtime_error(std::string("the helper library ") + kHelperLibraryName + " lacks " + name);
    }
    return address;
  }

  static constexpr std::size_t kOutputBuffer = std::size_t{64} * 1024;

  PutContents put_contents_ = nullptr;
  GetInfoInt get_info_int_ = nullptr;
  UserNames user_names_;
  std::string pending_;
  int output_error_ = 0;
};

}  // namespace

std::unique_ptr<Os> real_os() { return std::make_unique<RealOs>(); }

}  // namespace pw
