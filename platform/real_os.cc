// The Os of a Linux machine: the process table and handles of proc.cc and
// process.cc, the shell of spawn.cc, and here the PID file, the helper library,
// SQLite, standard output and the clocks.
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string_view>

#include "platform/error.h"
#include "platform/fixed.h"
#include "platform/os.h"
#include "platform/proc.h"
#include "platform/spawn.h"
#include "platform/sqlite_library.h"

namespace pw {
namespace {

// The kernel's own interfaces, by file system type (configfs has no name in
// the headers): a file there may consume what it shows when it is read.
constexpr long kKernelInterfaces[] = {PROC_SUPER_MAGIC, SYSFS_MAGIC,    DEBUGFS_MAGIC,      TRACEFS_MAGIC,
                                      SECURITYFS_MAGIC, 0x62656570,     CGROUP_SUPER_MAGIC, CGROUP2_SUPER_MAGIC,
                                      BPF_FS_MAGIC,     EFIVARFS_MAGIC, PSTOREFS_MAGIC};

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

  Snapshot glance(Pid pid) override { return read_snapshot(pid, Look::kPath, user_names_, true); }

  std::unique_ptr<Process> open_process(Pid pid) override { return open_real_process(pid, user_names_); }

  void shell(const std::string& command_line) override {
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
    // A FIFO, a socket, a device, or a file of the kernel's own interfaces
    // names nothing, and is not opened for reading.
    struct statfs where {};
    if (!S_ISREG(info.st_mode) || ::fstatfs(found, &where) != 0 ||
        std::find(std::begin(kKernelInterfaces), std::end(kKernelInterfaces), where.f_type) !=
            std::end(kKernelInterfaces)) {
      ::close(found);
      return {.exists = true, .content = std::nullopt};
    }
    // The same file opened for reading.
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
