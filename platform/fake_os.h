// FakeOs is the Os of the unit tests: processes, files and settings live in
// maps, the clocks move only when the program sleeps, and every command, signal,
// sleep, file write, journal use and output line is recorded in one trace.
#pragma once

#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/os.h"

namespace pw {

struct FakeProcess {
  std::string exe{};
  std::string user = "root";
  Pid parent = 1;
  std::vector<std::string> command_line{};
  double cpu_percent = 0;  // CPU share the process uses, constant over time
  double memory_percent = 0;
};

class FakeOs final : public Os {
 public:
  explicit FakeOs(std::string event_database = "");

  // Processes are listed in the order they were added. Re-adding a PID makes a
  // new process: handles opened on the old one no longer reach it.
  void add_process(Pid pid, FakeProcess process);
  void end_process(Pid pid);
  bool has_process(Pid pid) const { return processes_.count(pid) != 0; }

  // Reactions: run after the shell command / signal / once the total sleep
  // reaches the given number of seconds. SIGKILL ends a process before its
  // reaction runs; SIGTERM does nothing by itself.
  void on_shell(const std::string& command, std::function<void()> reaction);
  void on_signal(Pid pid, int signal, std::function<void()> reaction);
  void after_seconds(int seconds, std::function<void()> reaction);
  // Reaction to the next query of the given kind ("exe", "user", "parent",
  // "cmdline", "open") made about PID, before it is answered.
  void on_query(Pid pid, const std::string& kind, std::function<void()> reaction);

  // Failures: queries about PID (the kinds above, and the handle's queries)
  // fail with ERR; a signal to PID fails with ERR; file writes fail with ERR.
  void fail_queries(Pid pid, int err) { failing_queries_[pid] = err; }
  void fail_signal(Pid pid, int signal, int err) { failing_signals_[{pid, signal}] = err; }
  void fail_writes(int err) { failing_writes_ = err; }

  void set_file(const std::string& path, std::string content) { files_[path] = std::move(content); }
  void remove_file(const std::string& path) { files_.erase(path); }
  // Opening PATH fails with ERR (a directory: EISDIR).
  void set_unopenable(const std::string& path, int err) { unopenable_[path] = err; }
  void set_setting(const std::string& key, long long value) { settings_[key] = value; }

  const std::vector<std::string>& lines() const { return lines_; }
  const std::vector<std::string>& shell_commands() const { return commands_; }
  const std::vector<std::string>& trace() const { return trace_; }
  int seconds_slept() const { return seconds_slept_; }
  std::string file(const std::string& path) const;
  // Every write made to PATH, in order.
  std::vector<std::string> writes(const std::string& path) const;
  const std::vector<std::string>& settings_read() const { return settings_read_; }

  // Os
  std::vector<Pid> list_processes() override;
  bool process_exists(Pid pid) override { return has_process(pid); }
  std::string exe_path(Pid pid) override { return query(pid, "exe").exe; }
  std::string user_name(Pid pid) override { return query(pid, "user").user; }
  Pid parent_pid(Pid pid) override { return query(pid, "parent").parent; }
  std::vector<std::string> command_line(Pid pid) override { return query(pid, "cmdline").command_line; }
  std::unique_ptr<Process> open_process(Pid pid) override;
  void shell(const std::string& command_line) override;
  void sleep(int seconds) override;
  std::int64_t now() override { return kEpochStart + seconds_slept_; }
  double monotonic_seconds() override { return kMonotonicStart + seconds_slept_; }
  std::optional<std::string> read_file(const std::string& path) override;
  void file_put_contents(const std::string& path, const std::string& data) override;
  long long GET_INFO_INT(const std::string& key) override;
  std::string event_database() override;
  void out(const std::string& line) override;

  static constexpr std::int64_t kEpochStart = 1'800'000'000;
  static constexpr double kMonotonicStart = 5000.0;

 private:
  friend class FakeHandle;
  struct Entry {
    FakeProcess process;
    int generation;
  };

  const FakeProcess& query(Pid pid, const std::string& kind);
  const Entry& live(Pid pid, const std::string& what);
  void signal(Pid pid, int generation, int signal);

  std::vector<Pid> order_;
  std::map<Pid, Entry> processes_;
  int generations_ = 0;
  std::multimap<std::string, std::function<void()>> shell_reactions_;
  std::multimap<std::pair<Pid, int>, std::function<void()>> signal_reactions_;
  std::multimap<int, std::function<void()>> time_reactions_;
  std::map<std::pair<Pid, std::string>, std::function<void()>> query_reactions_;
  std::map<Pid, int> failing_queries_;
  std::map<std::pair<Pid, int>, int> failing_signals_;
  int failing_writes_ = 0;
  std::map<std::string, std::string> files_;
  std::map<std::string, int> unopenable_;
  std::map<std::string, long long> settings_;
  std::string event_database_;

  std::vector<std::string> lines_;
  std::vector<std::string> commands_;
  std::vector<std::string> trace_;
  std::vector<std::pair<std::string, std::string>> writes_;
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
