#include "platform/libunix.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <filesystem>
#include <thread>

#include "report/progress.h"
#include "testing/test_util.h"

namespace pw {
namespace {

TEST(PutContents, ReplacesAFileWholeKeepingItsOwnerAndPermissionBits) {
  const struct {
    const char* label;
    const char* old;  // nullptr: no file, made 0644 whatever the umask
    mode_t mode, expected_mode;
    uid_t owner;
  } cases[] = {
      {"missing", nullptr, 0, 0644, 0},
      {"longer", "a much longer old content", 0640, 0640, 0},
      {"another user's", "old", 0600, 0600, 33},
      {"set-id and sticky bits", "old", 07750, 0750, 0},
  };
  for (const auto& c : cases) {
    if (c.owner != 0 && ::geteuid() != 0) continue;  // needs root to give a file to another user
    TempDir dir;
    const auto path = dir / "squid.quick.progress";
    if (c.old) {
      write_whole_file(path, c.old);
      ASSERT_TRUE(c.owner == 0 || ::chown(path.c_str(), c.owner, c.owner) == 0);
      ASSERT_EQ(::chmod(path.c_str(), c.mode), 0);
    }
    const auto old_mask = ::umask(077);
    EXPECT_EQ(put_contents(path.c_str(), "new", 3), 0) << c.label;
    ::umask(old_mask);
    EXPECT_EQ(read_whole_file(path), "new") << c.label;
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, c.expected_mode) << c.label;
    EXPECT_EQ(info.st_uid, c.owner != 0 ? c.owner : ::geteuid()) << c.label;
    EXPECT_EQ(info.st_gid, c.owner != 0 ? c.owner : ::getegid()) << c.label;
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1) << "a temporary file was left";
  }
}

TEST(PutContents, AFileItCannotReachIsReportedAndLeftAsItIs) {
  // A link that loops cannot be examined, and is no missing file either.
  TempDir dir;
  const auto path = dir / "squid.quick.progress";
  std::filesystem::create_symlink("squid.quick.progress", path);
  EXPECT_EQ(put_contents(path.c_str(), "new", 3), ELOOP);
  EXPECT_TRUE(std::filesystem::is_symlink(path));
  EXPECT_EQ(put_contents((dir / "missing/file").c_str(), "abc", 3), ENOENT);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1) << "a file or directory was left";
  // The temporary sibling's name ("PATH.XXXXXX") must fit whole, or it is refused.
  std::string deep = dir / "missing";
  while (deep.size() < PATH_MAX - 8) deep += "/d";
  deep.resize(PATH_MAX - 8);
  EXPECT_EQ(put_contents(deep.c_str(), "abc", 3), ENOENT);
  EXPECT_EQ(put_contents((deep + "d").c_str(), "abc", 3), ENAMETOOLONG);
}

TEST(PutContents, ASignalThatEndsTheWriterLeavesNoTemporaryFile) {
  TempDir dir;
  const auto path = dir / "squid.quick.progress";
  const std::string record = progress_record(35, "Stopping...");
  // The file is there before: a loaded machine may end every writer before
  // its first write is whole.
  ASSERT_EQ(put_contents(path.c_str(), record.data(), record.size()), 0);
  for (int round = 0; round < 100; ++round) {
    const pid_t writer = fork_with_default_signals();
    if (writer == 0) {
      for (;;) (void)put_contents(path.c_str(), record.data(), record.size());
    }
    // Somewhere in a write, most of the time.
    std::this_thread::sleep_for(std::chrono::microseconds(200 + (round * 37) % 400));
    ::kill(writer, round % 2 == 0 ? SIGTERM : SIGHUP);
    int status = 0;
    ::waitpid(writer, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status));
  }
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1) << "a temporary file was left";
  EXPECT_EQ(read_whole_file(path), record);
}

TEST(PutContents, AReaderPollingMeanwhileSeesOnlyWholeRecords) {
  TempDir dir;
  const auto path = dir / "squid.quick.rprogress";
  const std::string records[] = {progress_record(35, "Stopping..."), progress_record(65, "Starting..."),
                                 progress_record(100, "Starting {success}..."),
                                 progress_record(110, "Stopping {failed}...")};
  ASSERT_EQ(put_contents(path.c_str(), records[0].data(), records[0].size()), 0);
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (int i = 0; i < 3000; ++i) {
      const auto& record = records[i % 4];
      ASSERT_EQ(put_contents(path.c_str(), record.data(), record.size()), 0);
    }
    done = true;
  });
  int reads = 0, torn = 0;
  while (!done) {
    const auto seen = read_whole_file(path);
    ++reads;
    if (std::find(std::begin(records), std::end(records), seen) == std::end(records)) ++torn;
  }
  writer.join();
  EXPECT_GT(reads, 0);
  EXPECT_EQ(torn, 0);
}

// A setting holds a decimal integer in the whole range of long long, or counts as 0.
TEST(ReadSetting, ReadsADecimalIntegerOrZero) {
  TempDir dir;
  const struct {
    const char* content;  // nullptr: no file
    long long value;
  } cases[] = {{nullptr, 0},
               {"", 0},
               {"65536\n", 65536},
               {"-3", -3},
               {"12ab", 0},
               {"9223372036854775807", INT64_MAX},
               {"-9223372036854775808", INT64_MIN},
               {"9223372036854775808", 0}};
  const auto before = open_files();
  for (const auto& c : cases) {
    const auto path = dir / "max_filedesc";
    std::filesystem::remove(path);
    if (c.content) write_whole_file(path, c.content);
    long long value = -1;
    EXPECT_EQ(read_setting(dir.path().c_str(), "max_filedesc", &value), 0) << (c.content ? c.content : "(none)");
    EXPECT_EQ(value, c.value) << (c.content ? c.content : "(none)");
  }
  EXPECT_EQ(open_files(), before) << "a descriptor was left open";
}

TEST(ReadSetting, AnUnreadableSettingOrAPathAsKeyIsAnErrorAndAFifoOrADeviceHoldsNone) {
  TempDir dir;
  const auto before = open_files();
  std::filesystem::create_directory(dir / "max_filedesc");
  long long value = -1;
  EXPECT_EQ(read_setting(dir.path().c_str(), "max_filedesc", &value), EISDIR);
  for (const char* key : {"../etc/passwd", "", ".", ".."}) {
    EXPECT_EQ(read_setting(dir.path().c_str(), key, &value), EINVAL) << key;
  }
  // A FIFO without a writer, on which an open would wait, or a device holds no setting.
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  std::filesystem::create_symlink("/dev/zero", dir / "device");
  for (const char* key : {"fifo", "device"}) {
    value = -1;
    EXPECT_EQ(read_setting(dir.path().c_str(), key, &value), 0) << key;
    EXPECT_EQ(value, 0) << key;
  }
  // A path one byte short of PATH_MAX is read; one that would fill it is refused.
  std::string deep = dir.path();
  while (deep.size() < PATH_MAX - 200) deep += "/" + std::string(99, 'd');
  std::filesystem::create_directories(deep);
  const std::string key(PATH_MAX - 2 - deep.size(), 'k');
  write_whole_file(deep + "/" + key, "7");
  EXPECT_EQ(read_setting(deep.c_str(), key.c_str(), &value), 0);
  EXPECT_EQ(value, 7);
  EXPECT_EQ(read_setting(deep.c_str(), (key + "k").c_str(), &value), ENAMETOOLONG);
  EXPECT_EQ(open_files(), before) << "a descriptor was left open";
}

}  // namespace
}  // namespace pw
