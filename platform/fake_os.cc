#include "platform/fake_os.h"

#include <algorithm>
#include <csignal>

#include "platform/error.h"

namespace pw {

std::string shell_entry(const std::string& command) { return "$ " + command; }
std::string sleep_entry(int seconds) { return "~ sleep " + std::to_string(seconds); }
std::string signal_entry(Pid pid, int signal) {
  const char* name = signal == SIGTERM ? "SIGTERM" : signal == SIGKILL ? "SIGKILL" : "signal";
  return "! " + std::to_string(pid) + " " + name;
}
std::string write_entry(const std::string& path, const std::string& data) { return "> " + path + " " + data; }

namespace {

[[noreturn]] void fail(int err, const std::string& what) {
  throw std::system_error(err, std::generic_category(), what);
}

}  // namespace

class FakeHandle final : public Process {
 public:
  FakeHandle(FakeOs& os, Pid pid, int generation) : os_(os), pid_(pid), generation_(generation) {}
  Pid pid() const override { return pid_; }
  std::string exe_path() override { return entry("exe").process.exe; }
  double cpu_seconds() override { return entry("cpu").process.cpu_percent / 100.0 * os_.monotonic_seconds(); }
  double memory_percent() override { return entry("memory").process.memory_percent; }
  void terminate() override { os_.signal(pid_, generation_, SIGTERM); }
  void kill() override { os_.signal(pid_, generation_, SIGKILL); }

 private:
  const FakeOs::Entry& entry(const std::string& what) {
    const auto& found = os_.live(pid_, what);
    if (found.generation != generation_) fail(ESRCH, what + " " + std::to_string(pid_));
    return found;
  }

  FakeOs& os_;
  Pid pid_;
  int generation_;
};

FakeOs::FakeOs(std::string event_database) : event_database_(std::move(event_database)) {}

void FakeOs::add_process(Pid pid, FakeProcess process) {
  if (!has_process(pid)) order_.push_back(pid);
  processes_[pid] = Entry{std::move(process), ++generations_};
}

void FakeOs::end_process(Pid pid) {
  processes_.erase(pid);
  order_.erase(std::remove(order_.begin(), order_.end(), pid), order_.end());
}

void FakeOs::on_shell(const std::string& command, std::function<void()> reaction) {
  shell_reactions_.emplace(command, std::move(reaction));
}

void FakeOs::on_signal(Pid pid, int signal, std::function<void()> reaction) {
  signal_reactions_.emplace(std::make_pair(pid, signal), std::move(reaction));
}

void FakeOs::after_seconds(int seconds, std::function<void()> reaction) {
  time_reactions_.emplace(seconds, std::move(reaction));
}

void FakeOs::on_query(Pid pid, const std::string& kind, std::function<void()> reaction) {
  query_reactions_[{pid, kind}] = std::move(reaction);
}

std::string FakeOs::file(const std::string& path) const {
  const auto found = files_.find(path);
  return found == files_.end() ? "" : found->second;
}

std::vector<std::string> FakeOs::writes(const std::string& path) const {
  std::vector<std::string> data;
  for (const auto& [written, content] : writes_) {
    if (written == path) data.push_back(content);
  }
  return data;
}

std::vector<Pid> FakeOs::list_processes() { return order_; }

const FakeOs::Entry& FakeOs::live(Pid pid, const std::string& what) {
  if (const auto failing = failing_queries_.find(pid); failing != failing_queries_.end()) {
    fail(failing->second, what + " " + std::to_string(pid));
  }
  const auto found = processes_.find(pid);
  if (found == processes_.end()) fail(ESRCH, what + " " + std::to_string(pid));
  return found->second;
}

const FakeProcess& FakeOs::query(Pid pid, const std::string& kind) {
  if (const auto reaction = query_reactions_.find({pid, kind}); reaction != query_reactions_.end()) {
    const auto run = std::move(reaction->second);
    query_reactions_.erase(reaction);
    run();
  }
  return live(pid, kind).process;
}

std::unique_ptr<Process> FakeOs::open_process(Pid pid) {
  const int generation = live(pid, "open").generation;
  if (const auto reaction = query_reactions_.find({pid, "open"}); reaction != query_reactions_.end()) {
    const auto run = std::move(reaction->second);
    query_reactions_.erase(reaction);
    run();
  }
  return std::make_unique<FakeHandle>(*this, pid, generation);
}

void FakeOs::signal(Pid pid, int generation, int signal) {
  if (const auto failing = failing_signals_.find({pid, signal}); failing != failing_signals_.end()) {
    fail(failing->second, signal_entry(pid, signal));
  }
  const auto found = processes_.find(pid);
  if (found == processes_.end() || found->second.generation != generation) fail(ESRCH, signal_entry(pid, signal));
  trace_.push_back(signal_entry(pid, signal));
  if (signal == SIGKILL) end_process(pid);
  const auto [first, last] = signal_reactions_.equal_range({pid, signal});
  std::vector<std::function<void()>> reactions;
  for (auto it = first; it != last; ++it) reactions.push_back(it->second);
  for (const auto& reaction : reactions) reaction();
}

void FakeOs::shell(const std::string& command_line) {
  commands_.push_back(command_line);
  trace_.push_back(shell_entry(command_line));
  const auto [first, last] = shell_reactions_.equal_range(command_line);
  std::vector<std::function<void()>> reactions;
  for (auto it = first; it != last; ++it) reactions.push_back(it->second);
  for (const auto& reaction : reactions) reaction();
}

void FakeOs::sleep(int seconds) {
  trace_.push_back(sleep_entry(seconds));
  seconds_slept_ += seconds;
  for (auto it = time_reactions_.begin(); it != time_reactions_.end() && it->first <= seconds_slept_;) {
    const auto run = std::move(it->second);
    it = time_reactions_.erase(it);
    run();
  }
}

std::optional<std::string> FakeOs::read_file(const std::string& path) {
  if (const auto failing = unopenable_.find(path); failing != unopenable_.end()) fail(failing->second, "open " + path);
  const auto found = files_.find(path);
  if (found == files_.end()) return std::nullopt;
  return found->second;
}

void FakeOs::file_put_contents(const std::string& path, const std::string& data) {
  if (failing_writes_ != 0) throw Error(failing_writes_, "file_put_contents " + path);
  trace_.push_back(write_entry(path, data));
  writes_.emplace_back(path, data);
  files_[path] = data;
}

long long FakeOs::GET_INFO_INT(const std::string& key) {
  settings_read_.push_back(key);
  const auto found = settings_.find(key);
  return found == settings_.end() ? 0 : found->second;
}

std::string FakeOs::event_database() {
  trace_.emplace_back(kJournalEntry);
  return event_database_;
}

void FakeOs::out(const std::string& line) {
  lines_.push_back(line);
  trace_.push_back(line);
}

}  // namespace pw
