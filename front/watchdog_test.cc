#include "front/watchdog.h"

#include <gtest/gtest.h>

#include <cmath>
#include <csignal>

#include "front/fixed.h"
#include "proxy/fixed.h"
#include "report/fixed.h"
#include "report/progress.h"
#include "testing/fake_os.h"
#include "testing/journal_test_util.h"

namespace pw {
namespace {

TEST(Round2, RoundsTheExactValueTiesAwayFromZero) {
  const struct {
    double value, rounded;
  } cases[] = {
      {0.125, 0.13},      {2.675, 2.67},    {1.005, 1.0},
      {99.999, 100.0},    {12.3456, 12.35}, {0.0, 0.0},
      {0.375, 0.38},      {0.625, 0.63},    {0.875, 0.88},
      {-0.125, -0.13},    {2.665, 2.67},    {1.015, 1.01},
      {0.004, 0.0},       {0.005, 0.01},    {0.0049999, 0.0},
      {9.995, 9.99},      {99.995, 100.0},  {250.0, 250.0},
      {33.333333, 33.33}, {1e-300, 0.0},    {123456789.125, 123456789.13},
      {0.115, 0.12},      {0.135, 0.14},
  };
  for (const auto& c : cases) EXPECT_EQ(round2(c.value), c.rounded) << c.value;
}

TEST(FigureText, WritesTheFigureAsTheSubjectShowsIt) {
  const struct {
    std::optional<double> figure;
    const char* text;
  } cases[] = {
      {std::nullopt, "0"},
      {0.0, "0.0"},
      {12.5, "12.5"},
      {7.25, "7.25"},
      {33.33, "33.33"},
      {100.0, "100.0"},
      {250.0, "250.0"},
      {12.35, "12.35"},
      {0.01, "0.01"},
      {1e15, "1e+15"},
      {123456789012.0, "123456789012.0"},
      {1234567890123.0, "1.23456789012e+12"},
  };
  for (const auto& c : cases) EXPECT_EQ(figure_text(c.figure), c.text) << c.text;
}

const FakeProcess kProxy{.exe = kSquidBinary, .user = kProxyUser, .cpu_percent = 42.123, .memory_percent = 12.3456};

class Watchdog : public FakeMachineTest {
 protected:
  std::vector<std::string> subjects() {
    std::vector<std::string> found;
    for (const auto& row : journal_rows(db_)) {
      if (row.subject.starts_with("Re")) {
        EXPECT_EQ(row.severity, 0);
        EXPECT_EQ(row.content, "");
      }
      found.push_back(row.subject);
    }
    return found;
  }
};

TEST_F(Watchdog, ReloadRecordsTheEventThenReconfigures) {
  reload_timeout_action(os_);
  EXPECT_EQ(os_.trace(), (std::vector<std::string>{kJournalEntry, shell_entry(kReconfigureCommand)}));
  EXPECT_EQ(subjects(),
            std::vector<std::string>{"Reloading Proxy service (Timeout exceed 15s) by the Watchdog Ports monitoring"});
}

TEST_F(Watchdog, AReloadWhoseShellCannotStartEndsTheRunAfterItsEvent) {
  os_.fail_shell(EAGAIN);
  EXPECT_THROW(reload_timeout_action(os_), std::system_error);
  EXPECT_EQ(os_.trace(), std::vector<std::string>{kJournalEntry});
  EXPECT_EQ(subjects().size(), 1u);
}

TEST_F(Watchdog, MemoryRestartRecordsTheMemoryShareThenRestarts) {
  os_.add_process(812, kProxy);
  os_.on_shell(kKillCommand, [&] { os_.end_process(812); });
  os_.on_shell(kLaunchCommand, [&] { os_.add_process(901, kProxy); });
  restart_memory_action(os_);
  EXPECT_EQ(subjects(), (std::vector<std::string>{
                            "Restarting Proxy service (12.35% memory usage) by the Watchdog Memory monitoring",
                            "Success Starting proxy service with PID 901"}));
  EXPECT_EQ(os_.writes(kRestartProgress).back(), progress_record(100, "Starting {success}..."));
  EXPECT_EQ(os_.trace()[0], kJournalEntry);
}

TEST_F(Watchdog, CpuRestartMeasuresOverOneSecond) {
  os_.add_process(812, kProxy);
  os_.on_shell(kKillCommand, [&] { os_.end_process(812); });
  restart_cpu_action(os_);
  EXPECT_EQ(subjects().at(0), "Restarting Proxy service (42.12% CPU usage) by the Watchdog CPU monitoring");
  EXPECT_EQ(os_.trace()[0], sleep_entry(1));
  EXPECT_EQ(os_.trace()[1], kJournalEntry);
}

TEST_F(Watchdog, FiguresOfAnIdleProxyAreAMeasuredZero) {
  os_.add_process(812, {.exe = kSquidBinary, .user = kProxyUser});
  os_.on_shell(kKillCommand, [&] { os_.end_process(812); });
  restart_cpu_action(os_);
  os_.add_process(812, {.exe = kSquidBinary, .user = kProxyUser});
  restart_memory_action(os_);
  const auto found = subjects();
  EXPECT_EQ(found.at(0), "Restarting Proxy service (0.0% CPU usage) by the Watchdog CPU monitoring");
  EXPECT_EQ(found.at(2), "Restarting Proxy service (0.0% memory usage) by the Watchdog Memory monitoring");
}

TEST_F(Watchdog, AnUnmeasuredFigureIsTheDigitZero) {
  const struct {
    const char* label;
    std::function<void(FakeOs&)> arrange;
    bool cpu_only = false;
  } cases[] = {
      {"no proxy", [](FakeOs&) {}},
      {"ends once found, before it is measured",
       [](FakeOs& os) {
         os.add_process(812, kProxy);
         os.after_query(812, "exe", [&os] { os.on_query(812, "open", [&os] { os.end_process(812); }); });
       }},
      {"ends during the window",
       [](FakeOs& os) {
         os.add_process(812, kProxy);
         os.after_seconds(1, [&os] { os.end_process(812); });
       },
       true},
      {"access refused",
       [](FakeOs& os) {
         os.add_process(812, kProxy);
         os.fail_query(812, "cpu", EACCES);
         os.fail_query(812, "memory", EACCES);
       }},
  };
  for (const auto& c : cases) {
    for (const bool cpu : {true, false}) {
      if (c.cpu_only && !cpu) continue;
      FakeMachine machine;
      FakeOs& os = machine.os_;
      c.arrange(os);
      cpu ? restart_cpu_action(os) : restart_memory_action(os);
      const auto rows = journal_rows(machine.db_);
      ASSERT_FALSE(rows.empty()) << c.label;
      EXPECT_EQ(rows[0].subject, cpu ? "Restarting Proxy service (0% CPU usage) by the Watchdog CPU monitoring"
                                     : "Restarting Proxy service (0% memory usage) by the Watchdog Memory monitoring")
          << c.label;
      // The restart runs whatever the figure.
      EXPECT_EQ(os.writes(kRestartProgress).at(0), progress_record(35, "Stopping...")) << c.label;
    }
  }
}

TEST_F(Watchdog, WithNoProxyTheRestartEndsAtAFailedStop) {
  restart_cpu_action(os_);
  EXPECT_EQ(os_.writes(kRestartProgress), (std::vector<std::string>{progress_record(35, "Stopping..."),
                                                                    progress_record(110, "Stopping {failed}...")}));
  EXPECT_TRUE(os_.shell_commands().empty());
}

}  // namespace
}  // namespace pw
