// FakeOs is the Os of the unit tests: processes, files and settings live in
// maps, the clocks move only when the program sleeps, and every command, signal,
// sleep, file write and removal, journal event and output line is recorded in
// one trace.
// Reactions change the machine at chosen moments: before a query is answered,
// or after it is answered and before the program's next call.
#pragma once

#include <algorithm>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/os.h"
#include "platform/sqlite_library.h"

namespace pw {

struct FakeProcess {
  std::string exe{};
  std::string user = "root";
  Pid parent = 1;
  std::vector<std::string> command_line{};
  double cpu_percent = 0;  // CPU share the process uses, constant over time
  double memory_percent = 0;
  bool other_root = false;  // its root directory is not the program's
};

class FakeOs final : public Os {
 public:
  explicit FakeOs(std::string event_database = "");

  // Processes are listed in the order they were added. Re-adding a PID makes a
  // new process: handles opened on the old one no longer reach it.
  void add_process(Pid pid, FakeProcess process);
  void end_process(Pid pid);

  // Reactions: run after the shell command / output line / signal / once the
  // total sleep reaches the given number of seconds. SIGKILL ends a process
  // before its reaction runs; SIGTERM does nothing by itself.
  void on_shell(const std::string& command, std::function<void()> reaction) {
    shell_reactions_.emplace(command, std::move(reaction));
  }
  void on_line(const std::string& line, std::function<void()> reaction) {
    line_reactions_.emplace(line, std::move(reaction));
  }
  void on_signal(Pid pid, int signal, std::function<void()> reaction) {
    signal_reactions_.emplace(std::make_pair(pid, signal), std::move(reaction));
  }
  void after_seconds(int seconds, std::function<void()> reaction) {
    time_reactions_.emplace(seconds, std::move(reaction));
  }
  // Reaction to the next query of the given kind made about PID, before it is
  // answered: "open", and through a handle "exe", "user", "parent" and
  // "cmdline" (the parts of a look, in that order), "cpu" and "memory".
  void on_query(Pid pid, const std::string& kind, std::function<void()> reaction) {
    query_reactions_[{pid, kind}] = std::move(reaction);
  }
  // Reaction after the next read of PATH.
  void after_read(const std::string& path, std::function<void()> reaction) {
    read_reactions_[{0, path}] = std::move(reaction);
  }

  // Failures with ERR: a query of one kind about PID ("exe" fails a glance's
  // read too), a signal to PID, and every call of a kind: "open" (a file),
  // "write", "listing", "shell", "journal". An ended process is ProcessEnded,
  // never one of these.
  void fail_query(Pid pid, const std::string& kind, int err) { failing_queries_[{pid, kind}] = err; }  // 0: no more
  void fail_signal(Pid pid, int signal, int err) { failing_signals_[{pid, signal}] = err; }
  void fail(const std::string& call, int err) { failing_calls_[call] = err; }

  void set_file(const std::string& path, std::string content) { files_[path] = std::move(content); }
  // PATH exists but its content cannot be read at once (a FIFO, a read error).
  void set_unreadable(const std::string& path) { unreadable_.insert(path); }
  void set_setting(const std::string& key, long long value) { settings_[key] = value; }
  void boot_with_systemd() { systemd_ = true; }

  const std::vector<std::string>& lines() const { return lines_; }
  const std::vector<std::string>& trace() const { return trace_; }
  // The trace's first N entries, or as many as it holds.
  std::vector<std::string> trace_head(std::size_t n) const {
    return {trace_.begin(), trace_.begin() + static_cast<std::ptrdiff_t>(std::min(n, trace_.size()))};
  }
  const std::vector<std::string>& settings_read() const { return settings_read_; }

  // Makes sqlite() load FILE instead of the system's library.
  void use_sqlite_library(std::string file) { sqlite_file_ = std::move(file); }

  // Os
  std::vector<Pid> list_processes() override;
  Glance glance(Pid pid) override;
  std::unique_ptr<Process> open_process(Pid pid) override;
  void shell(const std::string& command_line) override;
  bool booted_with_systemd() override { return systemd_; }
  void sleep(int seconds) override;
  std::int64_t now() override { return kEpochStart + seconds_slept_; }
  double monotonic_seconds() override { return kMonotonicStart + seconds_slept_; }
  SmallFile read_small_file(const std::string& path, std::size_t limit) override;
  void remove_file(const std::string& path) override;
  void file_put_contents(const std::string& path, const std::string& data) override;
  long long GET_INFO_INT(const std::string& key) override;
  std::string begin_journal_event() override;
  const SqliteLibrary& sqlite() override;
  void out(const std::string& line) override;
  int flush_output() override { return 0; }

  static constexpr std::int64_t kEpochStart = 1'800'000'000;
  static constexpr double kMonotonicStart = 5000.0;

 private:
  friend class FakeHandle;
  struct Entry {
    FakeProcess process;
    int generation;
  };

  // The answer about PID to a handle opened on GENERATION, after the reaction
  // to a query of KIND.
  FakeProcess query(Pid pid, const std::string& kind, int generation);
  Snapshot look(Pid pid, int generation, Look look);
  using Reactions = std::map<std::pair<Pid, std::string>, std::function<void()>>;
  void react(Reactions& reactions, Pid pid, const std::string& kind);
  const Entry& live(Pid pid, const std::string& kind);
  void signal(Pid pid, int generation, int signal);

  std::vector<Pid> order_;
  std::map<Pid, Entry> processes_;
  int generations_ = 0;
  std::multimap<std::string, std::function<void()>> shell_reactions_;
  std::multimap<std::string, std::function<void()>> line_reactions_;
  std::multimap<std::pair<Pid, int>, std::function<void()>> signal_reactions_;
  std::multimap<int, std::function<void()>> time_reactions_;
  Reactions query_reactions_;
  Reactions read_reactions_;  // keyed {0, path}
  std::map<std::pair<Pid, std::string>, int> failing_queries_;
  std::map<std::pair<Pid, int>, int> failing_signals_;
  std::map<std::string, int> failing_calls_;
  bool systemd_ = false;
  std::map<std::string, std::string> files_;
  std::set<std::string> unreadable_;
  std::map<std::string, long long> settings_;
  std::string event_database_;
  std::string sqlite_file_;
  std::optional<SqliteLibrary> sqlite_;

  std::vector<std::string> lines_;
  std::vector<std::string> trace_;
  std::vector<std::string> settings_read_;
  int seconds_slept_ = 0;
};

// Trace entries other than output lines, which are recorded as they are.
std::string shell_entry(const std::string& command);                        // "$ COMMAND"
std::string sleep_entry(int seconds);                                       // "~ sleep N"
std::string signal_entry(Pid pid, int signal);                              // "! PID SIGTERM"
std::string write_entry(const std::string& path, const std::string& data);  // "> PATH DATA"
inline constexpr char kJournalEntry[] = "@ journal";

}  // namespace pw
