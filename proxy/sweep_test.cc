#include "proxy/sweep.h"

#include <gtest/gtest.h>

#include <csignal>
#include <functional>

#include "proxy/fixed.h"
#include "testing/fake_os.h"

namespace pw {
namespace {

const FakeProcess kProxy{.exe = kSquidBinary, .user = kProxyUser};

// What the sweep prints and signals, every process of the proxy user in the
// table's order, and whether it leaves nothing behind.
TEST(GostsStop, SignalsEachProcessItsHandleShowsAsTheProxyUsersAndGoesOnPastAFailure) {
  const struct {
    const char* label;
    std::vector<Pid> proxies;
    std::function<void(FakeOs&)> arrange;
    std::vector<std::string> trace;  // "No other processes." last where nothing is left
  } cases[] = {
      {"nothing left",
       {},
       [](FakeOs& os) { os.add_process(5, {.exe = kSquidBinary, .user = "root"}); },
       {"[Stopping]......: No other processes."}},
      {"every process of the proxy user",
       {20},
       [](FakeOs& os) { os.add_process(19, {.exe = "/usr/lib/squid/pinger", .user = kProxyUser}); },
       {"[Stopping]......: Terminate process 20 [/usr/sbin/squid]", signal_entry(20, SIGTERM),
        signal_entry(20, SIGKILL), "[Stopping]......: Terminate process 19 [/usr/lib/squid/pinger]",
        signal_entry(19, SIGTERM), signal_entry(19, SIGKILL), "[Stopping]......: No other processes."}},
      // 30 ends at SIGTERM, with 31, listed but not yet opened; 32 refuses signals.
      {"one failure, and the sweep goes on",
       {30, 31, 32, 33},
       [](FakeOs& os) {
         os.on_signal(30, SIGTERM, [&os] {
           os.end_process(30);
           os.end_process(31);
         });
         os.fail_signal(32, SIGTERM, EPERM);
       },
       {"[Stopping]......: Terminate process 30 [/usr/sbin/squid]", signal_entry(30, SIGTERM),
        "[Stopping]......: Terminated process 31 []", "[Stopping]......: Terminate process 32 [/usr/sbin/squid]",
        "[Stopping]......: Terminated process 32 [/usr/sbin/squid]",
        "[Stopping]......: Terminate process 33 [/usr/sbin/squid]", signal_entry(33, SIGTERM),
        signal_entry(33, SIGKILL)}},
      // Once the sweep has looked at 30, root's proxy takes its PID, and root's
      // sshd takes 31, listed but not yet opened: neither is signalled.
      {"PIDs taken over",
       {30, 31},
       [](FakeOs& os) {
         os.on_line("[Stopping]......: Terminate process 30 [/usr/sbin/squid]", [&os] {
           os.add_process(30, {.exe = kSquidBinary, .user = "root"});
           os.add_process(31, {.exe = "/usr/sbin/sshd", .user = "root"});
         });
       },
       {"[Stopping]......: Terminate process 30 [/usr/sbin/squid]",
        "[Stopping]......: Terminated process 30 [/usr/sbin/squid]", "[Stopping]......: Terminated process 31 []",
        "[Stopping]......: No other processes."}},
      {"a process respawned at once",
       {40},
       [](FakeOs& os) { os.on_signal(40, SIGKILL, [&os] { os.add_process(41, kProxy); }); },
       {"[Stopping]......: Terminate process 40 [/usr/sbin/squid]", signal_entry(40, SIGTERM),
        signal_entry(40, SIGKILL)}},
  };
  for (const auto& c : cases) {
    FakeOs os;
    for (const Pid pid : c.proxies) os.add_process(pid, kProxy);
    c.arrange(os);
    EXPECT_EQ(gosts_stop(os), c.trace.back() == "[Stopping]......: No other processes.") << c.label;
    EXPECT_EQ(os.trace(), c.trace) << c.label;
  }
}

TEST(ListForm, QuotesEachArgument) {
  const struct {
    std::vector<std::string> arguments;
    const char* form;
  } cases[] = {
      {{}, "[]"},
      {{"a", "b"}, "['a', 'b']"},
      {{""}, "['']"},
      {{"it's"}, R"(["it's"])"},
      {{"say \"hi\""}, R"(['say "hi"'])"},
      {{"it's \"x\""}, R"(['it\'s "x"'])"},
      {{"a\\b"}, R"(['a\\b'])"},
      {{"it's a\\b"}, R"(["it's a\\b"])"},
      {{"t\tn\nr\r"}, R"(['t\tn\nr\r'])"},
      {{std::string("\0\x01\x1f\x7f", 4)}, R"(['\x00\x01\x1f\x7f'])"},
      {{"caf\xc3\xa9"}, R"(['caf\xc3\xa9'])"},
  };
  for (const auto& c : cases) EXPECT_EQ(list_form(c.arguments), c.form) << c.form;
}

// The listing prints one line per process of the proxy user, passing over one
// that ends while read; it and the sweep show a path's control characters
// escaped, so that a path cannot forge a line.
TEST(PsAux, PrintsOneLinePerProxyUserProcessWithItsPathEscaped) {
  FakeOs os;
  os.add_process(2345, {.exe = kSquidBinary,
                        .user = kProxyUser,
                        .parent = 2340,
                        .command_line = {"/usr/sbin/squid", "-f", "/etc/squid3/squid.conf"}});
  os.add_process(2346, {.exe = kSquidBinary, .user = "root"});
  os.add_process(2347, {.exe = "/usr/lib/squid/pinger", .user = kProxyUser, .parent = 2345});
  os.add_process(2348, kProxy);
  os.on_query(2348, "cmdline", [&] { os.end_process(2348); });
  os.add_process(7, {.exe = "/tmp/x\n[1] '/usr/sbin/squid'[[]] (0)", .user = kProxyUser});
  os.add_process(8, {.exe = "/tmp/t\tr\rdel\x7f\x01 caf\xc3\xa9 a\\b", .user = kProxyUser});
  ps_aux(os);
  os.end_process(2345);
  os.end_process(2347);
  gosts_stop(os);
  EXPECT_EQ(os.lines(), (std::vector<std::string>{
                            "[2345] '/usr/sbin/squid'[['/usr/sbin/squid', '-f', '/etc/squid3/squid.conf']] (2340)",
                            "[2347] '/usr/lib/squid/pinger'[[]] (2345)",
                            "[7] '/tmp/x\\n[1] '/usr/sbin/squid'[[]] (0)'[[]] (1)",
                            "[8] '/tmp/t\\tr\\rdel\\x7f\\x01 caf\xc3\xa9 a\\b'[[]] (1)",
                            "[Stopping]......: Terminate process 7 [/tmp/x\\n[1] '/usr/sbin/squid'[[]] (0)]",
                            "[Stopping]......: Terminate process 8 [/tmp/t\\tr\\rdel\\x7f\\x01 caf\xc3\xa9 a\\b]",
                            "[Stopping]......: No other processes.",
                        }));
}

}  // namespace
}  // namespace pw
