#include "front/watchdog.h"

#include <gtest/gtest.h>

#include <functional>

#include "front/fixed.h"
#include "platform/text.h"
#include "proxy/fixed.h"
#include "report/fixed.h"
#include "report/progress.h"
#include "testing/fake_os.h"
#include "testing/journal_test_util.h"

namespace pw {
namespace {

// One case of each way a figure rounds; round2_fuzz.cc checks every double
// against an exact computation.
TEST(Round2, RoundsTheExactValueTiesAwayFromZero) {
  const struct {
    double value, rounded;
  } cases[] = {
      {0.125, 0.13},     // an exact tie
      {-0.125, -0.13},   // away from zero
      {2.675, 2.67},     // stored just below the tie
      {12.3456, 12.35},  // above the tie
      {0.999, 1.0},      // carried into the units
      {99.995, 100.0},   // carried into a new digit
      {0.0, 0.0},        // nothing to round
      {1e-300, 0.0},     // below every kept digit
      {123456789.125, 123456789.13},
  };
  for (const auto& c : cases) EXPECT_EQ(round2(c.value), c.rounded) << c.value;
}

TEST(FigureText, WritesTheFigureAsTheSubjectShowsIt) {
  const struct {
    std::optional<double> figure;
    const char* text;
  } cases[] = {
      {std::nullopt, "0"},
      {1e15, "1e+15"},
      {1234567890123.0, "1.23456789012e+12"},
  };
  for (const auto& c : cases) EXPECT_EQ(figure_text(c.figure), c.text) << c.text;
}

const FakeProcess kProxy{.exe = kSquidBinary, .user = kProxyUser, .cpu_percent = 42.123, .memory_percent = 12.3456};
const FakeProcess kIdleProxy{.exe = kSquidBinary, .user = kProxyUser};

// Each watchdog action records its event, with the figure it measured, before
// it acts: a reload, or a restart that runs whatever the figure.
TEST(Watchdog, RecordsItsEventWithTheFigureThenActs) {
  const std::string restarting = write_entry(kRestartProgress, progress_record(35, "Stopping..."));
  const std::string cpu = "Restarting Proxy service (%s% CPU usage) by the Watchdog CPU monitoring";
  const std::string memory = "Restarting Proxy service (%s% memory usage) by the Watchdog Memory monitoring";
  const struct {
    const char* label;
    void (*action)(Os&);
    std::optional<FakeProcess> proxy;  // at PID 812
    std::string subject;
    std::vector<std::string> opening;  // the trace's first entries
    std::function<void(FakeOs&)> arrange = [](FakeOs&) {};
  } cases[] = {
      {"reload",
       reload_timeout_action,
       kProxy,
       "Reloading Proxy service (Timeout exceed 15s) by the Watchdog Ports monitoring",
       {kJournalEntry, shell_entry(kReconfigureCommand)}},
      {"CPU, measured over one second",
       restart_cpu_action,
       kProxy,
       fill(cpu, {"42.12"}),
       {sleep_entry(1), kJournalEntry, restarting}},
      {"memory", restart_memory_action, kProxy, fill(memory, {"12.35"}), {kJournalEntry, restarting}},
      {"CPU, an idle proxy", restart_cpu_action, kIdleProxy, fill(cpu, {"0.0"}), {sleep_entry(1), kJournalEntry}},
      {"memory, an idle proxy", restart_memory_action, kIdleProxy, fill(memory, {"0.0"}), {kJournalEntry}},
      // A figure that could not be measured is the digit 0.
      {"CPU, no proxy", restart_cpu_action, std::nullopt, fill(cpu, {"0"}), {kJournalEntry, restarting}},
      {"memory, no proxy", restart_memory_action, std::nullopt, fill(memory, {"0"}), {kJournalEntry, restarting}},
      {"CPU, the proxy ends once found",
       restart_cpu_action,
       kProxy,
       fill(cpu, {"0"}),
       {kJournalEntry, restarting},
       [](FakeOs& os) {
         os.on_query(812, "user", [&os] { os.on_query(812, "open", [&os] { os.end_process(812); }); });
       }},
      {"CPU, the proxy ends during the window",
       restart_cpu_action,
       kProxy,
       fill(cpu, {"0"}),
       {sleep_entry(1), kJournalEntry},
       [](FakeOs& os) { os.after_seconds(1, [&os] { os.end_process(812); }); }},
      {"memory, access refused",
       restart_memory_action,
       kProxy,
       fill(memory, {"0"}),
       {kJournalEntry},
       [](FakeOs& os) { os.fail_query(812, "memory", EACCES); }},
  };
  for (const auto& c : cases) {
    FakeMachine machine;
    FakeOs& os = machine.os_;
    if (c.proxy) os.add_process(812, *c.proxy);
    c.arrange(os);
    c.action(os);
    EXPECT_EQ(journal_events(machine.db_).at(0), "0 " + c.subject) << c.label;
    const auto shown = static_cast<std::ptrdiff_t>(std::min(os.trace().size(), c.opening.size()));
    EXPECT_EQ(std::vector<std::string>(os.trace().begin(), os.trace().begin() + shown), c.opening) << c.label;
  }
}

// After a reload that a proxy ran into, a probe a second for six seconds, each
// looking afresh; the first that finds none journals the loss and ends the run.
TEST(Watchdog, AReloadThatLeavesNoProxyJournalsItAndEndsTheRun) {
  const struct {
    const char* label;
    std::function<void(FakeOs&)> arrange;
    int slept;
    bool lost;
  } cases[] = {
      {"no proxy before", [](FakeOs& os) { os.end_process(812); }, 0, false},
      {"the proxy survives", [](FakeOs&) {}, 6, false},
      {"another main process follows it",
       [](FakeOs& os) {
         os.after_seconds(2, [&os] {
           os.add_process(913, kIdleProxy);
           os.end_process(812);
         });
       },
       6, false},
      {"the proxy ends after 3 s", [](FakeOs& os) { os.after_seconds(3, [&os] { os.end_process(812); }); }, 3, true},
  };
  for (const auto& c : cases) {
    FakeMachine machine;
    machine.os_.add_process(812, kIdleProxy);
    c.arrange(machine.os_);
    std::string error;
    try {
      reload_timeout_action(machine.os_);
    } catch (const std::runtime_error& e) {
      error = e.what();
    }
    EXPECT_EQ(error, c.lost ? "the proxy no longer runs after the reconfigure" : "") << c.label;
    std::vector<std::string> trace{"@ journal",
                                   "$ /usr/sbin/squid -f /etc/squid3/squid.conf -k reconfigure >/dev/null 2>&1"};
    trace.insert(trace.end(), c.slept, "~ sleep 1");
    if (c.lost) trace.emplace_back("@ journal");
    EXPECT_EQ(machine.os_.trace(), trace) << c.label;
    EXPECT_EQ(journal_events(machine.db_).back(),
              c.lost ? "0 Failed to reload proxy service: no proxy runs after the reconfigure"
                     : "0 Reloading Proxy service (Timeout exceed 15s) by the Watchdog Ports monitoring")
        << c.label;
  }
}

TEST(Watchdog, AReloadWhoseShellCannotStartEndsTheRunAfterItsEvent) {
  FakeMachine machine;
  machine.os_.fail_shell(EAGAIN);
  EXPECT_THROW(reload_timeout_action(machine.os_), std::system_error);
  EXPECT_EQ(machine.os_.trace(), std::vector<std::string>{kJournalEntry});
  EXPECT_EQ(journal_rows(machine.db_).size(), 1u);
}

}  // namespace
}  // namespace pw
