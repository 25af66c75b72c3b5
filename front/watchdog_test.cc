#include "front/watchdog.h"

#include <gtest/gtest.h>

#include <functional>

#include "platform/text.h"
#include "proxy/fixed.h"
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

const FakeProcess kProxy{.exe = kSquidBinary, .user = kProxyUser, .cpu_percent = 42.123, .memory_percent = 12.3456};
const FakeProcess kIdleProxy{.exe = kSquidBinary, .user = kProxyUser};

// Each restart of the watchdog records its event, with the figure it
// measured, before it acts, and runs whatever the figure.
TEST(Watchdog, RecordsItsEventWithTheFigureThenActs) {
  const std::string restarting =
      "> /usr/share/brantelbase/ressources/logs/web/squid.quick.rprogress " + progress_record(35, "Stopping...");
  const auto cpu = restart_cpu_action, memory = restart_memory_action;
  const auto using_memory = [](double percent) {
    return FakeProcess{.exe = kSquidBinary, .user = kProxyUser, .memory_percent = percent};
  };
  const struct {
    const char* label;
    void (*action)(Os&);
    std::optional<FakeProcess> proxy;  // at PID 812
    const char* figure;                // in the event's subject
    bool window;                       // a second's sleep comes first, to measure over
    std::function<void(FakeOs&)> arrange = [](FakeOs&) {};
  } cases[] = {
      {"CPU, measured over one second", cpu, kProxy, "42.12", true},
      {"memory", memory, kProxy, "12.35", false},
      {"CPU, an idle proxy", cpu, kIdleProxy, "0.0", true},
      {"memory, an idle proxy", memory, kIdleProxy, "0.0", false},
      // Twelve significant digits at most, with an exponent past them.
      {"memory, 1e15", memory, using_memory(1e15), "1e+15", false},
      {"memory, 13 digits", memory, using_memory(1234567890123.0), "1.23456789012e+12", false},
      // A figure that could not be measured is the digit 0.
      {"CPU, no proxy", cpu, std::nullopt, "0", false},
      {"memory, no proxy", memory, std::nullopt, "0", false},
      {"CPU, the proxy ends once found", cpu, kProxy, "0", false,
       [](FakeOs& os) {
         os.on_query(812, "user", [&os] { os.on_query(812, "open", [&os] { os.end_process(812); }); });
       }},
      {"CPU, the proxy ends during the window", cpu, kProxy, "0", true,
       [](FakeOs& os) { os.after_seconds(1, [&os] { os.end_process(812); }); }},
      {"memory, access refused", memory, kProxy, "0", false, [](FakeOs& os) { os.fail_query(812, "memory", EACCES); }},
  };
  for (const auto& c : cases) {
    FakeMachine machine;
    FakeOs& os = machine.os_;
    if (c.proxy) os.add_process(812, *c.proxy);
    c.arrange(os);
    c.action(os);
    EXPECT_EQ(journal_events(machine.db_).at(0),
              c.action == cpu
                  ? fill("0 Restarting Proxy service (%s% CPU usage) by the Watchdog CPU monitoring", {c.figure})
                  : fill("0 Restarting Proxy service (%s% memory usage) by the Watchdog Memory monitoring", {c.figure}))
        << c.label;
    std::vector<std::string> opening{"@ journal", restarting};
    if (c.window) opening.insert(opening.begin(), "~ sleep 1");
    EXPECT_EQ(os.trace_head(opening.size()), opening) << c.label;
  }
}

// A reload records its event before it acts; after a reconfigure that a proxy
// ran into, a probe a second for six seconds, each looking afresh; the first
// that finds none journals the loss and ends the run, as a shell that cannot
// start does.
TEST(Watchdog, AReloadThatLeavesNoProxyJournalsItAndEndsTheRun) {
  const struct {
    const char* label;
    std::function<void(FakeOs&)> arrange;
    int slept;  // -1: no reconfigure ran
    std::string error;
  } cases[] = {
      {"no proxy before", [](FakeOs& os) { os.end_process(812); }, 0, ""},
      {"the proxy survives", [](FakeOs&) {}, 6, ""},
      {"another main process follows it",
       [](FakeOs& os) {
         os.after_seconds(2, [&os] {
           os.add_process(913, kIdleProxy);
           os.end_process(812);
         });
       },
       6, ""},
      {"the proxy ends after 3 s", [](FakeOs& os) { os.after_seconds(3, [&os] { os.end_process(812); }); }, 3,
       "the proxy no longer runs after the reconfigure"},
      {"the shell cannot start", [](FakeOs& os) { os.fail("shell", EAGAIN); }, -1,
       "start /bin/sh for: /usr/sbin/squid -f /etc/squid3/squid.conf -k reconfigure >/dev/null 2>&1: Resource "
       "temporarily unavailable"},
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
    EXPECT_EQ(error, c.error) << c.label;
    const bool lost = c.slept >= 0 && !c.error.empty();
    std::vector<std::string> trace{"@ journal"};
    if (c.slept >= 0) trace.emplace_back("$ /usr/sbin/squid -f /etc/squid3/squid.conf -k reconfigure >/dev/null 2>&1");
    trace.insert(trace.end(), std::max(c.slept, 0), "~ sleep 1");
    if (lost) trace.emplace_back("@ journal");
    EXPECT_EQ(machine.os_.trace(), trace) << c.label;
    EXPECT_EQ(journal_events(machine.db_).back(),
              lost ? "0 Failed to reload proxy service: no proxy runs after the reconfigure"
                   : "0 Reloading Proxy service (Timeout exceed 15s) by the Watchdog Ports monitoring")
        << c.label;
  }
}

}  // namespace
}  // namespace pw
