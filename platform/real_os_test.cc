// The real Os against processes the test starts itself.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/openat2.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <sstream>
#include <thread>
#include <utility>

#include "platform/error.h"
#include "platform/fixed.h"
#include "platform/limits.h"
#include "platform/os.h"
#include "platform/proc.h"
#include "platform/signals.h"
#include "testing/test_util.h"

namespace pw {
namespace {

// A child in a process group of its own, which is ended, and the child
// reaped, when the object goes.
class Child {
 public:
  // Runs ARGV, as UID where it is not 0; made once the exec is done.
  explicit Child(std::vector<std::string> argv, uid_t uid = 0) {
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    start([&]() -> bool {
      if (uid != 0 && (::setgid(uid) != 0 || ::setuid(uid) != 0)) ::_exit(126);
      ::execv(args[0], args.data());
      ::_exit(127);
    });
  }
  // Runs BECOME, which tells whether it made the child what the test needs
  // (ready()), then waits to be ended.
  explicit Child(const std::function<bool()>& become) { start(become); }
  ~Child() {
    if (pid_ > 0) {
      ::kill(-pid_, SIGKILL);
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  Pid pid() const { return pid_; }
  bool ready() const { return ready_; }
  // Waits for the child to end; its status as run_program reports it.
  int reap() {
    int status = 0;
    ::waitpid(std::exchange(pid_, -1), &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

 private:
  // The answer comes on a pipe that an exec closes.
  void start(const std::function<bool()>& become) {
    int told[2];
    if (::pipe2(told, O_CLOEXEC) != 0 || (pid_ = fork_with_default_signals()) < 0) throw std::runtime_error("fork");
    if (pid_ == 0) {
      ::setpgid(0, 0);
      const char ready = become() ? 'y' : 'n';
      (void)!::write(told[1], &ready, 1);
      for (;;) ::pause();
    }
    ::close(told[1]);
    char answer = 'n';
    (void)!::read(told[0], &answer, 1);
    ::close(told[0]);
    ready_ = answer == 'y';
  }

  pid_t pid_ = -1;
  bool ready_ = false;
};

// Waits until DONE holds; the test fails when it does not within 10 seconds.
void wait_until(const std::function<bool()>& done, const std::string& what) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) {
      ADD_FAILURE() << "gave up waiting: " << what;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

// Waits until the child runs the program at PATH with its arguments in place.
void wait_for_exec(Os& os, Pid pid, const std::string& path) {
  wait_until(
      [&] {
        return os.glance(pid).exe == path && !read_whole_file("/proc/" + std::to_string(pid) + "/cmdline").empty();
      },
      "exec of " + path);
}

// Runs TEST in a child process with the default signals, which it may change
// as it likes; the child's exit status, or 128 + the signal that ended it.
int in_child(const std::function<int()>& test) {
  const pid_t child = fork_with_default_signals();
  if (child == 0) {
    try {
      ::_exit(test());
    } catch (...) {
      ::_exit(99);
    }
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// The status of a child that could not make its namespace or its mounts; the
// file "cannot" of the test's directory says why.
constexpr int kCannot = 77;

// In such a child: notes that STEP failed, and why, and returns kCannot.
int cannot(const TempDir& dir, const std::string& step) {
  const int err = errno;
  write_whole_file(dir / "cannot", step + ": " + std::strerror(err));
  return kCannot;
}

// Whether CALL throws E; any other exception passes.
template <typename E>
bool throws(const std::function<void()>& call) {
  try {
    call();
  } catch (const E&) {
    return true;
  }
  return false;
}

// A file of sysfs, which most machines have.
constexpr char kSysfsFile[] = "/sys/devices/system/cpu/online";

class RealOs : public ::testing::Test {
 protected:
  void SetUp() override {
    ::chmod(dir_.path().c_str(), 0755);
    std::filesystem::create_directories(dir_ / "usr/sbin");
    std::filesystem::copy_file("/bin/sleep", program_);
  }
  // Runs TEST in a child in new namespaces FLAGS, a mount namespace among
  // them, with / made private, and expects it to return 0 (MEANING tells what
  // else it may return); skips the test where the namespaces or the mounts
  // TEST needs cannot be made.
  void expect_in_namespaces(int flags, const std::function<int()>& test, const std::string& meaning = "") {
    const int status = in_child([&] {
      if (::unshare(flags) != 0) return cannot(dir_, "unshare namespaces");
      if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        // EINVAL: / is no mount point, as in a chroot into a plain directory.
        return cannot(dir_, errno == EINVAL ? "make / private (no mount point)" : "make / private");
      }
      return test();
    });
    if (status == kCannot) GTEST_SKIP() << read_whole_file(dir_ / "cannot");
    EXPECT_EQ(status, 0) << meaning;
  }
  TempDir dir_;
  std::string program_ = dir_ / "usr/sbin/squid";
  // What another user runs: any user reaches it, wherever the test's directory lies.
  std::string sleep_ = std::filesystem::canonical("/bin/sleep");
  std::unique_ptr<Os> os_ = real_os();
};

TEST_F(RealOs, DescribesAChildProcessAndAZombieAndNamesAnOwnerWithoutAPasswordEntryByUid) {
  const std::string shell = dir_ / "usr/sbin/squid-shell";
  std::filesystem::copy_file("/bin/sh", shell);
  // An argument longer than one read of /proc comes back whole.
  const std::string long_argument(10000, 'x');
  Child child({shell, "-c", "sleep 30; :", "it's", "tab\there", "", long_argument});
  wait_for_exec(*os_, child.pid(), shell);
  const auto listed = os_->list_processes();
  EXPECT_NE(std::find(listed.begin(), listed.end(), child.pid()), listed.end());
  EXPECT_NE(std::find(listed.begin(), listed.end(), ::getpid()), listed.end());
  const auto seen = os_->open_process(child.pid())->look(Look::kListing);
  EXPECT_TRUE(seen.own_pid);
  EXPECT_EQ(seen.exe, shell);
  EXPECT_FALSE(seen.exe_error);
  EXPECT_EQ(seen.parent, ::getpid());
  EXPECT_EQ(seen.command_line,
            (std::vector<std::string>{shell, "-c", "sleep 30; :", "it's", "tab\there", "", long_argument}));
  EXPECT_EQ(os_->open_process(child.pid())->look(Look::kPath | Look::kCommandLine).command_line, seen.command_line);
  EXPECT_EQ(seen.owner, os_->open_process(::getpid())->look(Look::kOwner).owner);
  EXPECT_EQ(os_->open_process(1)->look(Look::kOwner).owner, "root");
  // A zombie, not reaped yet, has no path but is seen as any other process.
  Child zombie({"/bin/true"});
  wait_until([&] { return os_->glance(zombie.pid()).exe.empty(); }, "a zombie");
  const auto dead = os_->open_process(zombie.pid())->look(Look::kOwner | Look::kCommandLine);
  EXPECT_EQ(dead.exe, "");
  EXPECT_TRUE(dead.command_line.empty());
  EXPECT_FALSE(dead.exe_error);
  EXPECT_EQ(dead.owner, seen.owner);
  if (::geteuid() != 0) return;            // needs root to start a process under another uid
  Child unnamed({sleep_, "30"}, 3999999);  // a uid without a password entry is named by number
  EXPECT_EQ(os_->open_process(unnamed.pid())->look(Look::kOwner).owner, "3999999");
}

TEST_F(RealOs, NamesAnOwnerPastAPasswordLineLongerThanOneBuffer) {
  write_whole_file(dir_ / "passwd", "long:x:3999998:3999998:" + std::string(5000, 'g') + ":/:/bin/sh\n");
  expect_in_namespaces(CLONE_NEWNS, [&] {
    ::alarm(10);  // the lookup must end
    if (::mount((dir_ / "passwd").c_str(), "/etc/passwd", nullptr, MS_BIND, nullptr) != 0) {
      return cannot(dir_, "bind a password file");
    }
    Child child({sleep_, "30"}, 3999997);
    return real_os()->open_process(child.pid())->look(Look::kOwner).owner == "3999997" ? 0 : 11;
  });
}

TEST_F(RealOs, SignalsReachOnlyTheOpenedProcessAndAnEndedOneCannotBeExaminedOrOpened) {
  Child target({program_, "30"});
  Child stubborn({"/bin/sh", "-c", "trap '' TERM; exec " + program_ + " 30"});  // only SIGKILL ends it
  wait_for_exec(*os_, stubborn.pid(), program_);
  const Pid pid = target.pid();
  const auto handle = os_->open_process(pid);
  EXPECT_EQ(handle->pid(), pid);
  handle->terminate();
  EXPECT_EQ(target.reap(), 128 + SIGTERM);
  const auto other = os_->open_process(stubborn.pid());
  other->terminate();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(other->look(Look::kPath).exe, program_);
  other->kill();
  EXPECT_EQ(stubborn.reap(), 128 + SIGKILL);
  // Once the opened process is gone, the handle reaches nothing else.
  EXPECT_THROW(os_->open_process(pid), ProcessEnded);
  for (const Look look : {Look::kPath, Look::kOwner, Look::kListing}) EXPECT_THROW(handle->look(look), ProcessEnded);
  EXPECT_THROW(handle->cpu_seconds(), ProcessEnded);
  EXPECT_THROW(handle->kill(), ProcessEnded);
  EXPECT_THROW(os_->glance(pid), ProcessEnded);
}

TEST_F(RealOs, AHandleNeverReachesTheProcessThatReusedItsPid) {
  // The first child in a new PID namespace is its init: it mounts the
  // namespace's /proc, and chooses the next PID through ns_last_pid.
  expect_in_namespaces(
      CLONE_NEWPID | CLONE_NEWNS,
      [&] {
        return in_child([&] {
          if (::mount("proc", "/proc", "proc", 0, nullptr) != 0) return cannot(dir_, "mount the namespace's /proc");
          Child first({program_, "30"});
          const Pid reused = first.pid();
          const auto os = real_os();
          const auto handle = os->open_process(reused);
          ::kill(reused, SIGKILL);
          first.reap();
          write_whole_file("/proc/sys/kernel/ns_last_pid", std::to_string(reused - 1));
          Child second({program_, "30"});
          const bool ended = throws<ProcessEnded>([&] { (void)handle->look(Look::kPath); }) &&
                             throws<ProcessEnded>([&] { handle->terminate(); });
          ::kill(reused, SIGKILL);
          return second.pid() != reused ? 13 : !ended ? 14 : second.reap() != 128 + SIGKILL ? 15 : 0;
        });
      },
      "13: the PID was not reused; 14: the handle reached the new process; 15: which got a signal first");
}

// Makes the system call NR fail with ERR in this process from now on, as an
// old kernel (ENOSYS) or a seccomp filter (EPERM) would, or with ERR 0 wait
// until the listener returned lets it go on; with ARG, only where that
// argument's low 32 bits (little-endian) are VALUE.
int refuse_call(long nr, int err, int arg = -1, unsigned value = 0) {
  std::vector<sock_filter> program = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<unsigned>(nr), 0, static_cast<unsigned char>(arg < 0 ? 1 : 3)),
  };
  if (arg >= 0) {
    program.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS,
                               static_cast<unsigned>(offsetof(seccomp_data, args) + sizeof(std::uint64_t) * arg)));
    program.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, value, 0, 1));
  }
  program.push_back(
      BPF_STMT(BPF_RET | BPF_K, err == 0 ? SECCOMP_RET_USER_NOTIF
                                         : SECCOMP_RET_ERRNO | (static_cast<unsigned>(err) & SECCOMP_RET_DATA)));
  program.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
  sock_fprog filter{static_cast<unsigned short>(program.size()), program.data()};
  const long listener =
      ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0
          ? -1
          : ::syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, err == 0 ? SECCOMP_FILTER_FLAG_NEW_LISTENER : 0, &filter);
  if (listener < 0) ::_exit(90);
  return static_cast<int>(listener);
}

// From now on in this process, the first call of NR waits until a thread has
// run ANSWER on it: the call's result, or with none the call goes on.
void answer_call(long nr, std::function<std::optional<long>(const seccomp_notif&)> answer) {
  std::thread([listener = refuse_call(nr, 0), answer = std::move(answer)] {
    pollfd called{.fd = listener, .events = POLLIN, .revents = 0};
    seccomp_notif call{};
    if (::poll(&called, 1, 10000) != 1 || ::ioctl(listener, SECCOMP_IOCTL_NOTIF_RECV, &call) != 0) return;
    const auto result = answer(call);
    const __u32 go_on = result ? 0 : SECCOMP_USER_NOTIF_FLAG_CONTINUE;
    seccomp_notif_resp reply{.id = call.id, .val = result.value_or(0), .error = 0, .flags = go_on};
    (void)::ioctl(listener, SECCOMP_IOCTL_NOTIF_SEND, &reply);
  }).detach();
}

// Whether openat2 here refuses a magic link (/proc/self/root). An emulator
// such as qemu-user may lack openat2 or not pass its resolve flags on; the
// reader then follows magic links, as where openat2 is missing.
bool magic_links_refused() {
  open_how how{.flags = O_PATH | O_CLOEXEC, .mode = 0, .resolve = RESOLVE_NO_MAGICLINKS};
  const long fd = ::syscall(SYS_openat2, AT_FDCWD, "/proc/self/root", &how, sizeof how);
  if (fd >= 0) ::close(static_cast<int>(fd));
  return fd < 0 && errno == ELOOP;
}

// Why refuse_call cannot work here, or "": where no seccomp filter can be
// installed (an emulator such as qemu-user refuses them, since they would
// filter its own calls), the cases that refuse calls are skipped.
std::string filters_refused(const TempDir& dir) {
  const int status = in_child([&] {
    sock_filter allow = BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW);
    sock_fprog filter{1, &allow};
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) != 0) {
      return cannot(dir, "install a seccomp filter");
    }
    return 0;
  });
  return status == 0 ? "" : read_whole_file(dir / "cannot");
}

TEST_F(RealOs, WithoutPidfdsSignalsGoByPidAfterTheLastQueryAndNeverToAThread) {
  if (const auto why = filters_refused(dir_); !why.empty()) GTEST_SKIP() << why;
  for (const int err : {ENOSYS, EPERM}) {
    Child target({program_, "30"});
    Child ended({"/bin/true"});
    const Pid ended_pid = ended.pid();
    ended.reap();
    EXPECT_EQ(in_child([&] {
                refuse_call(SYS_pidfd_open, err);
                const auto os = real_os();
                if (!throws<ProcessEnded>([&] { os->open_process(ended_pid); })) return 1;
                // A thread's ID is seen as such; a signal to it would reach
                // the whole process, the tester.
                std::atomic<pid_t> thread = 0;
                std::thread([&] {
                  thread = ::gettid();
                  for (;;) ::pause();
                }).detach();
                while (thread == 0) std::this_thread::yield();
                const auto on_thread = os->open_process(thread);
                if (on_thread->look(Look::kOwner).own_pid || !throws<NotAProcess>([&] { on_thread->terminate(); }) ||
                    !throws<NotAProcess>([&] { on_thread->kill(); })) {
                  return 2;
                }
                const auto handle = os->open_process(target.pid());
                const auto seen = handle->look(Look::kOwner);
                handle->terminate();
                return seen.exe == program_ && seen.own_pid ? 0 : 3;
              }),
              0)
        << err;
    EXPECT_EQ(target.reap(), 128 + SIGTERM) << err;
  }
}

TEST_F(RealOs, TellsAnotherRootDirectoryAndTakesOneThatMayNotBeExaminedForItsOwn) {
  // A chroot beside the test's system, in a user namespace of its own where
  // the test is not root.
  Child chrooted([&] {
    if ((::geteuid() == 0 || ::unshare(CLONE_NEWUSER) == 0) && ::chroot(dir_.path().c_str()) == 0) return true;
    cannot(dir_, "chroot");
    return false;
  });
  // A process that no caller without privilege may examine: another user's,
  // or one that is not dumpable.
  Child guarded([] { return ::prctl(PR_SET_DUMPABLE, 0) == 0; });
  EXPECT_TRUE(os_->open_process(::getpid())->look(Look::kPath).own_root);
  EXPECT_EQ(in_child([&] {
              if (::geteuid() == 0 && ::setuid(3999997) != 0) return 2;
              const auto seen = os_->open_process(guarded.pid())->look(Look::kPath);
              return guarded.ready() && seen.exe_error && seen.own_root ? 0 : 1;
            }),
            0);
  if (!chrooted.ready()) GTEST_SKIP() << read_whole_file(dir_ / "cannot");
  EXPECT_FALSE(os_->open_process(chrooted.pid())->look(Look::kPath).own_root);
}

TEST_F(RealOs, MeasuresCpuTimeAndMemoryThroughAHandle) {
  Child spinner({"/bin/sh", "-c", "while :; do :; done"});
  const auto handle = os_->open_process(spinner.pid());
  const double before = handle->cpu_seconds();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_GT(handle->cpu_seconds(), before);
  const double memory = handle->memory_percent();
  EXPECT_GT(memory, 0.0);
  EXPECT_LT(memory, 5.0);
}

TEST_F(RealOs, ReadsAndRemovesSmallFilesAndTellsMissingFromUnopenable) {
  // Files under /proc are made whole at the open: one of a read's size and
  // around it is read whole all the same.
  const std::size_t proc_sizes[] = {4095, 4096, 4097, 8193};
  for (const auto size : proc_sizes) write_whole_file(dir_ / std::to_string(size), std::string(size, 'x'));
  write_whole_file(dir_ / "pid", "812\n");
  write_whole_file(dir_ / "full", std::string(16, '7'));
  write_whole_file(dir_ / "long", std::string(17, '7'));
  std::filesystem::create_symlink("pid", dir_ / "link");
  std::filesystem::create_symlink("/proc/self/oom_score_adj", dir_ / "kernel");
  std::filesystem::create_symlink("/proc/self/root" + dir_ / "pid", dir_ / "magic");
  std::filesystem::create_symlink(kSysfsFile, dir_ / "sysfs");
  std::filesystem::create_symlink("nowhere", dir_ / "dangling");
  std::filesystem::create_symlink("loop-b", dir_ / "loop-a");
  std::filesystem::create_symlink("loop-a", dir_ / "loop-b");
  std::filesystem::create_directory(dir_ / "dir");
  std::filesystem::create_directory(dir_ / "other");  // where the readers mount a tmpfs
  std::filesystem::create_symlink(dir_ / "other/pid", dir_ / "absolute");
  std::filesystem::create_symlink("../other/pid", dir_ / "dir/up");
  ASSERT_EQ(::mkfifo((dir_ / "fifo").c_str(), 0600), 0);
  std::filesystem::create_symlink("fifo", dir_ / "to-fifo");
  struct Case {
    std::string path;
    bool exists;
    std::optional<std::string> content;
    bool other_mount = false;  // read only where the tmpfs could be mounted
    bool magic = false;        // read as any link where openat2 is refused
  };
  std::vector<Case> cases = {
      {dir_ / "pid", true, "812\n"},
      {dir_ / "link", true, "812\n"},
      {dir_ / "absolute", true, "813\n", true},  // links lead onto any mount
      {dir_ / "dir/up", true, "813\n", true},
      {dir_ / "full", true, std::string(16, '7')},
      {dir_ / "long", true, std::nullopt},                // past the bound
      {"/dev/zero", true, std::nullopt},                  // a device is never opened
      {dir_ / "kernel", true, std::nullopt},              // nor a file of /proc's, within the bound
      {dir_ / "magic", true, std::nullopt, false, true},  // nor what lies behind a magic link
      {dir_ / "fifo", true, std::nullopt},                // nor a FIFO, which an open would hold
      {dir_ / "to-fifo", true, std::nullopt},
      {dir_ / "missing", false, std::nullopt},
      {dir_ / "dangling", false, std::nullopt},
      {dir_ / "loop-a", false, std::nullopt},
      {dir_ / "pid/below", false, std::nullopt},  // a file is no directory
  };
  if (std::filesystem::exists(kSysfsFile)) cases.push_back({dir_ / "sysfs", true, std::nullopt});
  const bool refuses_magic = magic_links_refused();
  // Whether any answer was wrong.
  const auto wrong = [&](Os& os, bool openat2, bool other_mount) {
    for (const auto& c : cases) {
      if (c.other_mount && !other_mount) continue;
      const auto content = c.magic && !(openat2 && refuses_magic) ? std::optional<std::string>("812\n") : c.content;
      const SmallFile read = os.read_small_file(c.path, 16);  // a throw ends the child with 99
      EXPECT_EQ(read.exists, c.exists) << c.path;
      EXPECT_EQ(read.content, content) << c.path;
    }
    EXPECT_THROW(os.read_small_file(dir_ / "dir", 16), std::system_error);
    for (const auto size : proc_sizes) EXPECT_EQ(read_proc(dir_ / std::to_string(size)).size(), size);
    return ::testing::Test::HasFailure() ? 1 : 0;
  };
  // Each in a child: with openat2, where it is missing or a filter refuses
  // it, and where standard input is closed, so that a descriptor handed out
  // may be 0. The number of ways that read wrong.
  const auto refused = filters_refused(dir_);
  const auto wrong_ways = [&](bool other_mount) {
    int count = 0;
    for (const int err : {-1, ENOSYS, EPERM, 0}) {
      if (err > 0 && !refused.empty()) continue;
      const int status = in_child([&] {
        if (err > 0) refuse_call(SYS_openat2, err);
        if (err == 0) ::close(STDIN_FILENO);
        return wrong(*real_os(), err <= 0, other_mount);
      });
      EXPECT_EQ(status, 0) << (err < 0    ? std::string("with openat2")
                               : err == 0 ? std::string("with standard input closed")
                                          : "openat2 refused with errno " + std::to_string(err));
      count += status != 0;
    }
    return count;
  };
  expect_in_namespaces(CLONE_NEWNS, [&] {
    if (::mount("none", (dir_ / "other").c_str(), "tmpfs", 0, nullptr) != 0) return cannot(dir_, "mount a tmpfs");
    write_whole_file(dir_ / "other/pid", "813\n");
    return wrong_ways(true);
  });
  // Without the mount, all but the links onto it.
  if (IsSkipped()) {
    EXPECT_EQ(wrong_ways(false), 0);
  }
  // A removal takes a missing file as removed, and fails on a directory.
  for (int twice = 0; twice < 2; ++twice) os_->remove_file(dir_ / "pid");
  EXPECT_FALSE(std::filesystem::exists(dir_ / "pid"));
  EXPECT_THROW(os_->remove_file(dir_ / "dir"), std::system_error);
  if (!refused.empty()) GTEST_SKIP() << "with openat2 refused: " << refused;
}

// ZFS, whose number the kernel's headers lack, holds stored data: fstatfs is
// answered so by a listener.
TEST_F(RealOs, ReadsAFileOnZfs) {
  if (const auto why = filters_refused(dir_); !why.empty()) GTEST_SKIP() << why;
  write_whole_file(dir_ / "pid", "812\n");
  EXPECT_EQ(in_child([&] {
              const auto os = real_os();
              answer_call(SYS_fstatfs, [](const seccomp_notif& call) {
                // The caller's buffer, in this process.
                std::bit_cast<struct statfs*>(static_cast<std::uintptr_t>(call.data.args[1]))->f_type = 0x2fc12fc1;
                return std::optional<long>(0);
              });
              return os->read_small_file(dir_ / "pid", 16).content == "812\n" ? 0 : 1;
            }),
            0);
}

TEST_F(RealOs, AnEndingSignalWaitsAndACommandStartsWithNothingOfTheCaller) {
  // Also where close_range is missing: the caller's limit on descriptors is
  // raised as far as it goes (to nr_open, or unprivileged to the hard limit),
  // a descriptor taken high, and the limit lowered below it. A hard limit
  // that leaves no room above the lowered one cannot show that.
  for (const bool close_range : {true, false}) {
    if (const auto why = close_range ? "" : filters_refused(dir_); !why.empty()) GTEST_SKIP() << why;
    const std::string seen = dir_ / "seen";
    const std::string after = dir_ / "after";
    // The command notes what it started with and asks its caller to end. The
    // caller ignores signals (SIGCHLD among them) and holds its highest
    // descriptor, or 200.
    const auto status = in_child([&] {
      ::setpgid(0, 0);
      (void)::signal(SIGUSR1, SIG_IGN);
      (void)::signal(SIGCHLD, SIG_IGN);
      rlimit given{};
      if (::getrlimit(RLIMIT_NOFILE, &given) != 0) return 97;
      const int held = static_cast<int>(std::min<rlim_t>(given.rlim_cur - 1, 200));
      if (::dup2(STDIN_FILENO, held) != held) return 98;
      int high = held;
      if (!close_range) {
        refuse_call(SYS_close_range, ENOSYS);
        // The command's setsid waits while the caller's process group gets
        // a signal, which the command drops.
        answer_call(SYS_setsid, [](const seccomp_notif&) {
          ::kill(0, SIGUSR1);
          return std::optional<long>();
        });
        const auto most = static_cast<rlim_t>(std::stoull(read_whole_file("/proc/sys/fs/nr_open")));
        rlimit limit{most, most};
        if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) {
          if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 97;
          limit.rlim_cur = limit.rlim_max;
          if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) return 97;
        }
        constexpr auto kLowered = static_cast<rlim_t>(kOpenFilesNeeded);  // as low as commands run
        if (limit.rlim_max <= kLowered + 1) {
          errno = EPERM;
          return cannot(dir_, "raise the hard limit on descriptors above " + std::to_string(limit.rlim_max));
        }
        high = static_cast<int>(std::min<rlim_t>(rlim_t{1} << 19, limit.rlim_max - 1));
        limit.rlim_cur = kLowered;
        if (::dup2(STDIN_FILENO, high) != high || ::setrlimit(RLIMIT_NOFILE, &limit) != 0) return 97;
      }
      RunSignals signals;
      const auto os = real_os();
      // The shell's own masks are read with builtins first: while it starts a
      // command, a shell may block every signal for a moment.
      std::string command = "{ while read -r key value; do case $key in SigBlk:|SigIgn:) echo $value;; esac; done";
      command.append(" < /proc/$$/status; cut -d' ' -f6 /proc/$$/stat; ");
      command.append("echo $$; test -e /proc/$$/fd/").append(std::to_string(held));
      command.append(" -o -e /proc/$$/fd/").append(std::to_string(high));
      command.append(" && echo inherited || echo none; } > ").append(seen).append("; kill -TERM $PPID");
      os->shell(command);
      write_whole_file(after, "went on");  // the run goes on to its end
      signals.release();
      return 1;
    });
    if (status == kCannot) GTEST_SKIP() << read_whole_file(dir_ / "cannot");
    EXPECT_EQ(status, 128 + SIGTERM) << "close_range " << close_range;
    EXPECT_EQ(read_whole_file(after), "went on");
    std::istringstream lines(read_whole_file(seen));
    std::string blocked, ignored, session, shell, descriptors;
    lines >> blocked >> ignored >> session >> shell >> descriptors;
    EXPECT_EQ(std::stoull(blocked, nullptr, 16), 0u) << blocked;
    EXPECT_EQ(std::stoull(ignored, nullptr, 16) & 0x7fffffffU, 0u) << ignored;  // the C library's own aside
    EXPECT_EQ(session, shell) << "the shell leads a session of its own";
    EXPECT_EQ(descriptors, "none") << "the caller's descriptors, close_range " << close_range;
    std::filesystem::remove(seen);
    std::filesystem::remove(after);
  }
}

// Commands run only where the raised limit is enough for them.
TEST_F(RealOs, RaisesTheSoftLimitOnOpenFilesTo1024WithinTheHardLimit) {
  rlimit given{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &given), 0);
  const rlim_t hard = given.rlim_max, high = std::min<rlim_t>(hard, 4096);
  const struct {
    rlim_t soft, hard, raised;  // the limits a child sets, and its soft limit once raised
    bool commands;              // whether commands may run then
  } cases[] = {
      {8, hard, std::min<rlim_t>(hard, 1024), true}, {8, 16, 16, false}, {8, 32, 32, true}, {high, hard, high, true}};
  for (const auto& c : cases) {
    EXPECT_EQ(in_child([&] {
                rlimit limit{c.soft, c.hard};
                if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) return 2;
                raise_open_file_limit();
                if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 3;
                bool commands = true;
                try {
                  require_open_files_for_commands();
                } catch (const std::runtime_error&) {
                  commands = false;
                }
                return limit.rlim_cur == c.raised && limit.rlim_max == c.hard && commands == c.commands ? 0 : 1;
              }),
              0)
        << c.soft << " within " << c.hard;
  }
}

TEST_F(RealOs, OutputGoesOnAfterAShortWriteAndALostReaderNeitherEndsNorInterruptsIt) {
  int lines[2];
  ASSERT_EQ(::pipe2(lines, O_CLOEXEC), 0);
  const int capacity = ::fcntl(lines[0], F_SETPIPE_SZ, 4096);
  ASSERT_GT(capacity, 0);
  std::string expected;
  for (int i = 0; i < 100; ++i)
    expected += std::to_string(i) + std::string(1000, static_cast<char>('a' + i % 26)) + "\n";
  const pid_t writer = fork_with_default_signals();
  if (writer == 0) {
    ::dup2(lines[1], STDOUT_FILENO);
    ::close(lines[0]);
    RunSignals signals;
    struct sigaction quiet {};
    quiet.sa_handler = [](int) {};
    ::sigaction(SIGUSR1, &quiet, nullptr);
    const auto os = real_os();
    for (std::size_t at = 0; at < expected.size(); at = expected.find('\n', at) + 1) {
      os->out(expected.substr(at, expected.find('\n', at) - at));
    }
    os->sleep(0);  // flushes first
    pollfd lost{.fd = STDOUT_FILENO, .events = 0, .revents = 0};
    ::poll(&lost, 1, -1);  // until the reader has gone
    os->out("[Stopping]......: Terminate process 812");
    os->sleep(0);
    os->out("[Stopping]......: Terminate process 812 success (smoothly)");
    ::_exit(os->flush_output() == EPIPE ? 0 : 1);
  }
  ::close(lines[1]);
  // The write waits once the pipe is full; the signal then cuts it short.
  wait_until(
      [&] {
        int queued = 0;
        return ::ioctl(lines[0], FIONREAD, &queued) == 0 && queued >= capacity;
      },
      "a full pipe");
  ::kill(writer, SIGUSR1);
  std::string got;
  char buffer[4096];
  // Read up to what is expected, waiting at most 10 seconds for each piece.
  pollfd ready{.fd = lines[0], .events = POLLIN, .revents = 0};
  for (ssize_t n = 0; got.size() < expected.size() && ::poll(&ready, 1, 10000) == 1 &&
                      (n = ::read(lines[0], buffer, sizeof buffer)) > 0;) {
    got.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(lines[0]);
  int status = 0;
  ::waitpid(writer, &status, 0);
  EXPECT_TRUE(got == expected) << got.size() << " bytes read of " << expected.size();
  EXPECT_EQ(status, 0) << "the writer failed or was ended by a signal";
}

TEST_F(RealOs, RunsShellCommandsToTheirEndAndReachesTheHelperLibrary) {
  os_->shell("sleep 0.2; echo done > " + dir_ / "flag" + "; exit 3");
  EXPECT_EQ(read_whole_file(dir_ / "flag"), "done\n");
  os_->file_put_contents(dir_ / "progress", "a:2:{}");
  EXPECT_EQ(read_whole_file(dir_ / "progress"), "a:2:{}");
  EXPECT_THROW(os_->file_put_contents(dir_ / "missing/progress", "x"), Error);
  // A start report that cannot be read is an error, raised once the shell is
  // reaped (only that read asks for the size of an int), and so is a signal
  // mask that cannot be set, before anything starts.
  if (const auto why = filters_refused(dir_); !why.empty()) GTEST_SKIP() << why;
  const struct {
    long call;
    int err, arg;
  } refusals[] = {{SYS_read, EIO, 2}, {SYS_rt_sigprocmask, EPERM, -1}};
  for (const auto& r : refusals) {
    EXPECT_EQ(in_child([&] {
                const auto os = real_os();
                refuse_call(r.call, r.err, r.arg, sizeof(int));
                try {
                  os->shell(":");
                } catch (const std::system_error& e) {
                  return e.code().value() == r.err && ::waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD ? 0 : 2;
                }
                return 1;
              }),
              0)
        << r.call;
  }
}

}  // namespace
}  // namespace pw
