// The appliance's shared helper library. Built as libunix.so and loaded by the
// program at run time; it links nothing of the program's, and nothing of the
// C++ library either, so that loading it costs every run little.
#include "platform/libunix.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/decimal.h"
#include "platform/fixed.h"

namespace pw {
namespace {

int write_all(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return 0;
}

// A key names one file inside the settings directory, never a path.
bool is_plain_name(const char* key) {
  return key[0] != '\0' && std::strchr(key, '/') == nullptr && std::strcmp(key, ".") != 0 &&
         std::strcmp(key, "..") != 0;
}

// Writes DATA to a new temporary sibling of PATH and renames it over PATH.
int replace_file(const char* path, const char* data, size_t size) {
  // The new file takes the old one's permissions and owner, so that whoever
  // could read the old file can read the new one; only a file that is not there
  // is new, with 0644. An old file that cannot be examined is left alone.
  struct stat old {};
  const bool existed = ::stat(path, &old) == 0;
  if (!existed && errno != ENOENT) return errno;

  char temp[PATH_MAX];
  if (std::snprintf(temp, sizeof temp, "%s.XXXXXX", path) >= static_cast<int>(sizeof temp)) return ENAMETOOLONG;
  const int fd = ::mkostemp(temp, O_CLOEXEC);
  if (fd < 0) return errno;
  int err = ::fchmod(fd, existed ? (old.st_mode & 0777) : 0644) == 0 ? 0 : errno;
  if (err == 0 && existed && (old.st_uid != ::geteuid() || old.st_gid != ::getegid()) &&
      ::fchown(fd, old.st_uid, old.st_gid) != 0 && errno != EPERM) {
    err = errno;
  }
  if (err == 0) err = write_all(fd, data, size);
  if (::close(fd) != 0 && err == 0) err = errno;
  if (err == 0 && ::rename(temp, path) != 0) err = errno;
  if (err != 0) ::unlink(temp);
  return err;
}

}  // namespace

int put_contents(const char* path, const char* data, size_t size) {
  // The signals that end a run wait until the temporary file is renamed or
  // removed, so that none outlives the run.
  sigset_t ending{}, before{};
  ::sigemptyset(&ending);
  for (const int signal : {SIGTERM, SIGINT, SIGHUP}) ::sigaddset(&ending, signal);
  ::pthread_sigmask(SIG_BLOCK, &ending, &before);
  const int err = replace_file(path, data, size);
  ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
  return err;
}

int read_setting(const char* dir, const char* key, long long* value) {
  *value = 0;
  if (!is_plain_name(key)) return EINVAL;
  char path[PATH_MAX];
  if (std::snprintf(path, sizeof path, "%s/%s", dir, key) >= static_cast<int>(sizeof path)) return ENAMETOOLONG;
  // Looked at before anything is opened for reading, and read only when it is
  // a regular file: a FIFO, a socket or a device holds no setting, and opening
  // one could hold the run or set it off.
  const int found = ::open(path, O_PATH | O_CLOEXEC);
  if (found < 0) return errno == ENOENT ? 0 : errno;
  struct stat info {};
  int err = ::fstat(found, &info) == 0 ? 0 : errno;
  if (err == 0 && S_ISDIR(info.st_mode)) err = EISDIR;
  if (err != 0 || !S_ISREG(info.st_mode)) {
    ::close(found);
    return err;
  }
  char reopen[32];
  (void)std::snprintf(reopen, sizeof reopen, "/proc/self/fd/%d", found);
  const int fd = ::open(reopen, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  err = fd < 0 ? errno : 0;
  ::close(found);
  if (fd < 0) return err;

  // A setting is a short number; anything longer than this holds no integer.
  char buffer[256];
  size_t used = 0;
  while (used < sizeof buffer) {
    const ssize_t n = ::read(fd, buffer + used, sizeof buffer - used);
    if (n < 0) {
      if (errno == EINTR) continue;
      err = errno;
      break;
    }
    if (n == 0) break;
    used += static_cast<size_t>(n);
  }
  ::close(fd);
  if (err != 0) return err;
  if (used < sizeof buffer) {
    if (const auto number = parse_decimal(std::string_view(buffer, used))) *value = *number;
  }
  return 0;
}

}  // namespace pw

extern "C" {

__attribute__((visibility("default"))) int file_put_contents(const char* path, const char* data, size_t size) {
  return pw::put_contents(path, data, size);
}

__attribute__((visibility("default"))) int GET_INFO_INT(const char* key, long long* value) {
  return pw::read_setting(pw::kSettingsDir, key, value);
}

}  // extern "C"
