// Reading the process table under /proc and owners' names from the password
// database, each failure reported as what it is: an ended process, or a failure.
#include "platform/proc.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysinfo.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string_view>

#include "platform/decimal.h"
#include "platform/error.h"
#include "platform/fixed.h"

namespace pw {
namespace {

std::string proc_path(Pid pid, const char* entry) { return "/proc/" + std::to_string(pid) + "/" + entry; }

// ENOENT from a process's own /proc entry, or ESRCH, says that it has ended.
[[noreturn]] void throw_proc_errno(int err, const std::string& what) {
  if (err == ENOENT || err == ESRCH) throw ProcessEnded(what);
  throw_errno(err, what);
}

// The number after "\nKEY:" in a status file.
long long status_number(const std::string& status, std::string_view key, const std::string& path) {
  const auto at = status.find("\n" + std::string(key) + ":");
  if (at == std::string::npos) throw_errno(EINVAL, "parse " + path);
  return std::strtoll(status.c_str() + at + key.size() + 2, nullptr, 10);
}

// A lookup that fails is reported as such, never with an error number that
// callers would take for a process that has ended.
[[noreturn]] void lookup_failed(uid_t uid, int err, const std::string& where) {
  throw std::runtime_error("look up the name of uid " + std::to_string(uid) + where + ": " + std::strerror(err));
}

std::optional<std::string> name_in_password_file(uid_t uid) {
  const std::string where = std::string(" in ") + kPasswordFile;
  std::FILE* file = std::fopen(kPasswordFile, "re");
  if (file == nullptr) {
    const int err = errno;
    lookup_failed(uid, err, where);
  }
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

// The decimal uid stands for a user the database does not know; a lookup that
// fails (the database cannot be read) is an error, never "no such user".
std::string name_of(uid_t uid) {
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

}  // namespace

std::string read_proc(const std::string& path, ProcFile kind) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    const int err = errno;
    throw_proc_errno(err, "open " + path);
  }
  std::string content;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      const int err = errno;
      if (err == EINTR) continue;
      ::close(fd);
      throw_proc_errno(err, "read " + path);
    }
    content.append(buffer, static_cast<size_t>(n));
    if (n == 0 || (kind == ProcFile::kMadeWhole && static_cast<size_t>(n) < sizeof buffer)) break;
  }
  ::close(fd);
  return content;
}

std::vector<Pid> list_proc() {
  DIR* dir = ::opendir("/proc");
  if (dir == nullptr) {
    const int err = errno;
    throw_errno(err, "opendir /proc");
  }
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
    if (number && *number > 0 && *number <= std::numeric_limits<Pid>::max()) pids.push_back(static_cast<Pid>(*number));
  }
}

bool shares_root(Pid pid) {
  static const struct stat own = [] {
    struct stat root {};
    if (::stat("/", &root) != 0) throw_errno(errno, "stat /");
    return root;
  }();
  const std::string link = proc_path(pid, "root");
  struct stat theirs {};
  if (::stat(link.c_str(), &theirs) != 0) {
    const int err = errno;
    if (err == EACCES || err == EPERM) return true;
    throw_proc_errno(err, "stat " + link);
  }
  return theirs.st_dev == own.st_dev && theirs.st_ino == own.st_ino;
}

std::string read_exe_link(Pid pid) {
  const std::string link = proc_path(pid, "exe");
  char buffer[4096];
  const ssize_t n = ::readlink(link.c_str(), buffer, sizeof buffer);
  if (n < 0) {
    const int err = errno;
    if (err == ENOENT) {
      // No executable, or no process any more.
      if (::access(proc_path(pid, "").c_str(), F_OK) == 0) return "";
      if (errno == ENOENT) throw ProcessEnded("readlink " + link);
      const int access_error = errno;
      throw_errno(access_error, "access " + proc_path(pid, ""));
    }
    throw_errno(err, "readlink " + link);
  }
  std::string path(buffer, static_cast<size_t>(n));
  // The kernel marks a replaced or removed program; name the program itself.
  constexpr std::string_view kDeleted = " (deleted)";
  if (path.size() > kDeleted.size() && path.ends_with(kDeleted)) path.resize(path.size() - kDeleted.size());
  return path;
}

ProcStatus read_status(Pid pid) {
  const std::string path = proc_path(pid, "status");
  const auto status = read_proc(path);
  return {static_cast<Pid>(status_number(status, "Tgid", path)), static_cast<Pid>(status_number(status, "PPid", path)),
          static_cast<uid_t>(status_number(status, "Uid", path))};
}

std::vector<std::string> read_command_line(Pid pid) {
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

double read_cpu_seconds(Pid pid) {
  const std::string path = proc_path(pid, "stat");
  const auto stat = read_proc(path);
  // utime and stime, the 14th and 15th fields, follow the command name, which
  // is in parentheses and may itself hold blanks and parentheses.
  unsigned long long user = 0, system = 0;
  const auto name_end = stat.rfind(')');
  if (name_end == std::string::npos ||
      std::sscanf(stat.c_str() + name_end + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &user,
                  &system) != 2) {
    throw_errno(EINVAL, "parse " + path);
  }
  return static_cast<double>(user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

double read_memory_percent(Pid pid) {
  const std::string path = proc_path(pid, "statm");
  unsigned long long size = 0, resident = 0;
  if (std::sscanf(read_proc(path).c_str(), "%llu %llu", &size, &resident) != 2) throw_errno(EINVAL, "parse " + path);
  struct sysinfo machine {};
  if (::sysinfo(&machine) != 0) {
    const int err = errno;
    throw_errno(err, "sysinfo");
  }
  if (machine.totalram == 0) throw_errno(EINVAL, "sysinfo");
  const double total = static_cast<double>(machine.totalram) * machine.mem_unit;
  return static_cast<double>(resident) * static_cast<double>(::sysconf(_SC_PAGESIZE)) * 100.0 / total;
}

std::string UserNames::of(uid_t uid) {
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

}  // namespace pw
