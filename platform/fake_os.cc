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
  std::string exe_path() override { return os_.query(pid_, "exe", generation_).exe; }
  std::string user_name() override { return os_.query(pid_, "user", generation_).user; }
  double cpu_seconds() override {
    return os_.query(pid_, "cpu", generation_).cpu_percent / 100.0 * os_.monotonic_seconds();
  }
  double memory_percent() override { return os_.query(pid_, "memory", generation_).memory_percent; }
  void terminate() override { os_.signal(pid_, generation_, SIGTERM); }
  void kill() override { os_.signal(pid_, generation_, SIGKILL); }

 private:
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

void FakeOs::after_query(Pid pid, const std::string& kind, std::function<void()> reaction) {
  after_query_reactions_[{pid, kind}] = std::move(reaction);
}

void FakeOs::after_read(const std::string& path, std::function<void()> reaction) {
  read_reactions_[{0, path}] = std::move(reaction);
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

std::vector<Pid> FakeOs::list_processes() {
  if (failing_listing_ != 0) fail(failing_listing_, "readdir /proc");
  return order_;
}

const FakeOs::Entry& FakeOs::live(Pid pid, const std::string& kind) {
  for (const auto& failing : {std::make_pair(pid, std::string()), std::make_pair(pid, kind)}) {
    if (const auto found = failing_queries_.find(failing); found != failing_queries_.end()) {
      fail(found->second, kind + " " + std::to_string(pid));
    }
  }
  const auto found = processes_.find(pid);
  if (found == processes_.end()) fail(ESRCH, kind + " " + std::to_string(pid));
  return found->second;
}

void FakeOs::react(std::map<std::pair<Pid, std::string>, std::function<void()>>& reactions, Pid pid,
                   const std::string& kind) {
  if (const auto reaction = reactions.find({pid, kind}); reaction != reactions.end()) {
    const auto run = std::move(reaction->second);
    reactions.erase(reaction);
    run();
  }
}

FakeProcess FakeOs::query(Pid pid, const std::string& kind, int generation) {
  react(query_reactions_, pid, kind);
  const Entry& found = live(pid, kind);
  // A handle reaches only the process it was opened on.
  if (generation != 0 && found.generation != generation) fail(ESRCH, kind + " " + std::to_string(pid));
  FakeProcess answer = found.process;
  react(after_query_reactions_, pid, kind);
  return answer;
}

std::unique_ptr<Process> FakeOs::open_process(Pid pid) {
  react(query_reactions_, pid, "open");
  const int generation = live(pid, "open").generation;
  react(after_query_reactions_, pid, "open");
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
  if (failing_shell_ != 0) fail(failing_shell_, "start /bin/sh for: " + command_line);
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

SmallFile FakeOs::read_small_file(const std::string& path, std::size_t limit) {
  if (const auto failing = unopenable_.find(path); failing != unopenable_.end()) fail(failing->second, "open " + path);
  SmallFile read;
  if (const auto found = files_.find(path); found != files_.end()) {
    read.exists = true;
    if (found->second.size() <= limit && unreadable_.count(path) == 0) read.content = found->second;
  }
  react(read_reactions_, 0, path);
  return read;
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

std::string FakeOs::begin_journal_event() {
  trace_.emplace_back(kJournalEntry);
  if (failing_journal_ != 0) fail(failing_journal_, "open the journal");
  return event_database_;
}

void FakeOs::out(const std::string& line) {
  // A line that cannot be written is lost; the run goes on.
  if (failing_output_ != 0) return;
  lines_.push_back(line);
  trace_.push_back(line);
}

}  // namespace pw
