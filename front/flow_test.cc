// The actions on the real machine: real processes, signals, shell and pauses,
// against the fake proxy program, with the proxy's fixed paths moved into a
// test directory by StandInOs.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <regex>

#include "front/dispatch.h"
#include "proxy/fixed.h"
#include "report/fixed.h"
#include "report/progress.h"
#include "testing/journal_test_util.h"
#include "testing/stand_in_os.h"

namespace pw {
namespace {

namespace fs = std::filesystem;

class Flow : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run the fake proxy under its own uid";
    ::chmod(root_.path().c_str(), 0755);
    for (const char* dir :
         {"/usr/sbin", "/sbin", "/var/run/squid", kProgressDir, "/home/brantel/SQLITE", "/etc/brantelbase/settings"}) {
      fs::create_directories(root_ / dir);
    }
    for (const auto& entry : fs::recursive_directory_iterator(root_.path())) ::chmod(entry.path().c_str(), 0755);
    ASSERT_EQ(::chown(moved(kPidFile).substr(0, moved(kPidFile).rfind('/')).c_str(), uid_, uid_), 0);
    fs::copy_file(FAKE_SQUID, moved(kSquidBinary));
    write_whole_file(moved(kSysctl), "#!/bin/sh\necho \"$@\" >> " + root_ / "sysctl.log\n");
    ::chmod(moved(kSysctl).c_str(), 0755);
    create_journal(os_.begin_journal_event());
    ::setenv("FAKE_SQUID_PIDFILE", moved(kPidFile).c_str(), 1);
    ::setenv("FAKE_SQUID_UID", std::to_string(uid_).c_str(), 1);
    ::setenv("FAKE_SQUID_MODE", "", 1);
  }

  void TearDown() override {
    // End whatever the fake proxy left until nothing is: a supervisor may start
    // another daemon meanwhile, which the next test would take for a proxy.
    for (int round = 0; round < 500; ++round) {
      const auto left = os_.list_processes();
      if (left.empty()) return;
      for (const Pid pid : left) {
        try {
          os_.open_process(pid)->kill();
        } catch (const std::system_error&) {
        }
      }
      ::usleep(10000);
    }
    ADD_FAILURE() << "the fake proxy's processes would not end";
  }

  std::string moved(const std::string& path) const { return root_.path() + path; }
  std::vector<std::string> run_action(const char* word) {
    os_.clear_lines();
    run(os_, {word});
    return os_.lines();
  }
  std::string pid_line() { return run_action("pid").at(0); }
  std::string main_pid() {
    std::smatch match;
    const auto line = pid_line();
    EXPECT_TRUE(std::regex_match(line, match, std::regex(R"(PID of main proxy service is \[(\d+)\])"))) << line;
    return match.size() > 1 ? match[1].str() : "";
  }
  std::vector<std::string> severities_and_subjects() {
    std::vector<std::string> found;
    for (const auto& row : journal_rows(os_.begin_journal_event())) {
      found.push_back(std::to_string(row.severity) + " " + row.subject);
    }
    return found;
  }

  TempDir root_;
  const uid_t uid_ = 3900000 + static_cast<uid_t>(::getpid() % 90000);
  StandInOs os_{real_os(), root_.path(), uid_};
};

TEST_F(Flow, StartListStopAndRestart) {
  const auto started = run_action("start");
  ASSERT_GE(started.size(), 4u);
  EXPECT_EQ(started[0], "[Starting]......: Proxy ip_local_port_range: 65535");
  EXPECT_EQ(started[1], "[Starting]......: Proxy service");
  EXPECT_EQ(read_whole_file(root_ / "sysctl.log"), "-w net.ipv4.ip_local_port_range=8000 65535\n");
  const std::string pid = main_pid();
  EXPECT_EQ(started.back(), "[Starting]......: Proxy service success pid " + pid + "...");
  EXPECT_EQ(read_whole_file(moved(kStartStopProgress)), progress_record(100, "Starting {success}..."));

  const auto listing = run_action("ps");
  ASSERT_EQ(listing.size(), 1u);
  const std::string exe = moved(kSquidBinary);
  EXPECT_TRUE(
      listing[0].starts_with("[" + pid + "] '" + exe + "'[['" + exe + "', '-sYC', '-f', '/etc/squid3/squid.conf']] ("))
      << listing[0];

  EXPECT_EQ(run_action("start"), std::vector<std::string>{"[Starting]......: Already started pid " + pid});

  const auto restarted = run_action("restart");
  EXPECT_EQ(restarted.at(0), "[Stopping]......: Terminate process " + pid);
  const std::string new_pid = main_pid();
  EXPECT_NE(new_pid, pid);
  EXPECT_EQ(restarted.back(), "[Starting]......: Proxy service success pid " + new_pid + "...");
  EXPECT_EQ(read_whole_file(moved(kRestartProgress)), progress_record(100, "Starting {success}..."));

  const auto stopped = run_action("stop");
  EXPECT_EQ(stopped.at(0), "[Stopping]......: Terminate process " + new_pid);
  EXPECT_EQ(stopped.back(), "[Stopping]......: No other processes.");
  EXPECT_EQ(pid_line(), "PID of main proxy service is [None]");
  EXPECT_EQ(read_whole_file(moved(kStartStopProgress)), progress_record(100, "Stopping {success}..."));
  EXPECT_EQ(severities_and_subjects(),
            (std::vector<std::string>{"2 Success Starting proxy service with PID " + pid,
                                      "2 Success Starting proxy service with PID " + new_pid}));
}

TEST_F(Flow, StopSweepsTheProxyUsersOtherProcesses) {
  ::setenv("FAKE_SQUID_MODE", "strays", 1);
  run_action("start");
  const auto stopped = run_action("stop");
  const auto strays = std::count_if(stopped.begin(), stopped.end(), [](const std::string& line) {
    return line.starts_with("[Stopping]......: Terminate process ") && line.ends_with(" [/usr/bin/sleep]");
  });
  EXPECT_EQ(strays, 2) << ::testing::PrintToString(stopped);
  // SIGKILL takes effect a moment later.
  for (int i = 0; i < 100 && !run_action("ps").empty(); ++i) ::usleep(10000);
  EXPECT_TRUE(run_action("ps").empty());
}

TEST_F(Flow, AProxyIgnoringTheKillCommandIsForcedToStop) {
  ::setenv("FAKE_SQUID_MODE", "stubborn", 1);
  run_action("start");
  const std::string pid = main_pid();
  const auto stopped = run_action("stop");
  std::vector<std::string> expected{"[Stopping]......: Terminate process " + pid};
  for (int pass = 0; pass < 6; ++pass) {
    expected.push_back("[Stopping]......: Waiting pid " + pid + " " + std::to_string(pass) + "/5");
  }
  expected.insert(expected.end(),
                  {"[Stopping]......: Killing process " + pid, "[Stopping]......: Terminate process success",
                   "[Stopping]......: No other processes."});
  EXPECT_EQ(stopped, expected);
  EXPECT_EQ(severities_and_subjects().back(), "1 Success Stopping proxy service");
}

TEST_F(Flow, AProxyThatNeverComesUpFailsToStartAndOneRespawnedAtOnceFailsToStop) {
  ::setenv("FAKE_SQUID_MODE", "never", 1);
  const auto started = run_action("start");
  ASSERT_EQ(started.size(), 9u);
  EXPECT_EQ(started[7], "[Starting]......: Proxy service waiting 5...");
  EXPECT_EQ(started[8], "[Starting]......: Proxy service [FAILED]...");
  EXPECT_EQ(read_whole_file(moved(kStartStopProgress)), progress_record(110, "Starting {failed}..."));
  ::setenv("FAKE_SQUID_MODE", "respawn", 1);
  run_action("start");
  ASSERT_NE(main_pid(), "");
  EXPECT_EQ(run_action("stop").back(), "[Stopping]......: [Failed]");
  EXPECT_EQ(read_whole_file(moved(kStartStopProgress)), progress_record(110, "Stopping {failed}..."));
  const auto events = severities_and_subjects();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events.front(), "0 Failed to start proxy service");
  EXPECT_EQ(events.back(), "0 Failed Stopping proxy service");
}

TEST_F(Flow, TheCpuWatchdogMeasuresABusyProxy) {
  ::setenv("FAKE_SQUID_MODE", "spin", 1);
  run_action("start");
  run_action("restart-cpu");
  const auto events = severities_and_subjects();
  ASSERT_GE(events.size(), 2u);
  std::smatch match;
  ASSERT_TRUE(std::regex_match(
      events[1], match,
      std::regex(R"(0 Restarting Proxy service \(([0-9.]+)% CPU usage\) by the Watchdog CPU monitoring)")))
      << events[1];
  EXPECT_GT(std::stod(match[1].str()), 20.0);
  EXPECT_EQ(read_whole_file(moved(kRestartProgress)), progress_record(100, "Starting {success}..."));
}

}  // namespace
}  // namespace pw
