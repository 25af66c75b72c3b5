// The Os of a Linux machine: the process table and handles of proc.cc and
// process.cc, the shell of spawn.cc, and here the PID file, the helper library,
// SQLite, standard output and the clocks.
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/vfs.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string_view>

#include "platform/error.h"
#include "platform/fixed.h"
#include "platform/limits.h"
#include "platform/os.h"
#include "platform/process.h"
#include "platform/spawn.h"
#include "platform/sqlite_library.h"

namespace pw {
namespace {

// ZFS's magic number, which the kernel's headers do not carry.
constexpr long kZfsMagic = 0x2fc12fc1;

// The file systems whose files are stored data: local, on disk or in memory
// (ext2, ext3 and ext4 share one number). Anything else, the kernel's own
// interfaces, where a read may consume what it shows, and network or
// user-space file systems, where it may wait on another machine or process,
// holds no PID file.
constexpr long kStoredFileSystems[] = {EXT4_SUPER_MAGIC, XFS_SUPER_MAGIC, BTRFS_SUPER_MAGIC,     F2FS_SUPER_MAGIC,
                                       TMPFS_MAGIC,      RAMFS_MAGIC,     OVERLAYFS_SUPER_MAGIC, kZfsMagic};

// Whether FD's file lies on one of those file systems; not when that cannot
// be told.
bool on_stored_file_system(int fd) {
  struct statfs where {};
  return ::fstatfs(fd, &where) == 0 && std::find(std::begin(kStoredFileSystems), std::end(kStoredFileSystems),
                                                 where.f_type) != std::end(kStoredFileSystems);
}

// What the look-up of a path found: an O_PATH descriptor on it, or -1 with
// whether something is there all the same.
struct Found {
  int fd = -1;
  bool exists = false;
};

// ERR from a look-up of PATH that found nothing: missing, a dangling link, a
// link loop, or a path that cannot be examined at all is no file; anything
// else throws.
Found not_found(const std::string& path, int err) {
  struct stat info {};
  if (err == ENOENT || err == ENOTDIR || ::stat(path.c_str(), &info) != 0) return {};
  throw_errno(err, "open " + path);
}

// PATH looked up as open(2) does, following its links, absolute or relative,
// onto any mount, but never through /proc's magic links: a file reached
// through one exists and names nothing. Where openat2 is missing, or a filter
// refuses it, magic links are followed too.
Found look_up(const std::string& path) {
  open_how how{.flags = O_PATH | O_CLOEXEC, .mode = 0, .resolve = RESOLVE_NO_MAGICLINKS};
  int fd = static_cast<int>(::syscall(SYS_openat2, AT_FDCWD, path.c_str(), &how, sizeof how));
  if (fd >= 0) return {.fd = fd, .exists = true};
  const int err = errno;
  // A magic link and a link loop both fail so; stat, which follows magic
  // links, tells the loop.
  if (err == ELOOP) {
    struct stat info {};
    return {.fd = -1, .exists = ::stat(path.c_str(), &info) == 0};
  }
  if (err != ENOSYS && err != EPERM) return not_found(path, err);
  fd = ::open(path.c_str(), O_PATH | O_CLOEXEC);
  return fd >= 0 ? Found{.fd = fd, .exists = true} : not_found(path, errno);
}

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
  }
  ~RealOs() override { (void)flush_output(); }
  RealOs(const RealOs&) = delete;
  RealOs& operator=(const RealOs&) = delete;

  std::vector<Pid> list_processes() override { return list_proc(); }

  Glance glance(Pid pid) override { return read_glance(pid); }

  std::unique_ptr<Process> open_process(Pid pid) override { return open_real_process(pid, user_names_); }

  void shell(const std::string& command_line) override {
    require_open_files_for_commands();
    // Our lines must reach the output before anything the command prints.
    (void)flush_output();
    run_shell(command_line);
  }

  bool booted_with_systemd() override { return ::access(kSystemdRuntimeDir, F_OK) == 0; }

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
    // meanwhile is simply not there, and nothing but stored data is ever read.
    const Found found = look_up(path);
    if (found.fd < 0) return {.exists = found.exists, .content = std::nullopt};
    struct stat info {};
    if (::fstat(found.fd, &info) != 0 || S_ISDIR(info.st_mode)) {
      const int err = S_ISDIR(info.st_mode) ? EISDIR : errno;
      ::close(found.fd);
      throw_errno(err, "open " + path);
    }
    // A FIFO, a socket or a device names nothing, and is not opened for
    // reading; nor is a file that is not stored data.
    if (!S_ISREG(info.st_mode) || !on_stored_file_system(found.fd)) {
      ::close(found.fd);
      return {.exists = true, .content = std::nullopt};
    }
    // The same file opened for reading.
    const int fd = ::open((std::string(kOwnDescriptors) + "/" + std::to_string(found.fd)).c_str(),
                          O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    const int open_error = errno;
    ::close(found.fd);
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

  void remove_file(const std::string& path) override {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
      const int err = errno;
      throw_errno(err, "unlink " + path);
    }
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

  const SqliteLibrary& sqlite() override {
    if (!sqlite_) sqlite_ = load_sqlite(kSqliteLibrary);
    return *sqlite_;
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
  std::optional<SqliteLibrary> sqlite_;
  std::string pending_;
  int output_error_ = 0;
};

}  // namespace

std::unique_ptr<Os> real_os() { return std::make_unique<RealOs>(); }

}  // namespace pw
