#include "testing/fake_os.h"

#include <algorithm>
#include <csignal>

#include "platform/error.h"
#include "platform/fixed.h"

namespace pw {

std::string shell_entry(const std::string& command) { return "$ " + command; }
std::string sleep_entry(int seconds) { return "~ sleep " + std::to_string(seconds); }
std::string signal_entry(Pid pid, int signal) {
  const char* name = signal == SIGTERM ? "SIGTERM" : signal == SIGKILL ? "SIGKILL" : "signal";
  return "! " + std::to_string(pid) + " " + name;
}
std::string write_entry(const std::string& path, const std::string& data) { return "> " + path + " " + data; }

class FakeHandle final : public Process {
 public:
  FakeHandle(FakeOs& os, Pid pid, int generation) : os_(os), pid_(pid), generation_(generation) {}
  Pid pid() const override { return pid_; }
  Snapshot look(Look look) override { return os_.look(pid_, generation_, look); }
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

namespace {

// Runs every reaction kept for KEY, each once, even those that add more.
template <typename Key>
void run_all(const std::multimap<Key, std::function<void()>>& reactions, const Key& key) {
  std::vector<std::function<void()>> kept;
  for (auto [at, last] = reactions.equal_range(key); at != last; ++at) kept.push_back(at->second);
  for (const auto& reaction : kept) reaction();
}

}  // namespace

FakeOs::FakeOs(std::string event_database) : event_database_(std::move(event_database)) {}

void FakeOs::add_process(Pid pid, FakeProcess process) {
  if (processes_.count(pid) == 0) order_.push_back(pid);
  processes_[pid] = Entry{std::move(process), ++generations_};
}

void FakeOs::end_process(Pid pid) {
  processes_.erase(pid);
  order_.erase(std::remove(order_.begin(), order_.end(), pid), order_.end());
}

std::vector<Pid> FakeOs::list_processes() {
  if (const int err = failing_calls_["listing"]; err != 0) throw_errno(err, "readdir /proc");
  return order_;
}

Glance FakeOs::glance(Pid pid) {
  const auto found = processes_.find(pid);
  if (found == processes_.end()) throw ProcessEnded("glance " + std::to_string(pid));
  Glance seen;
  seen.exe = found->second.process.exe;
  if (const int err = failing_queries_[{pid, "exe"}]; err != 0) {
    seen.exe_error = std::system_error(err, std::generic_category(), "exe");
  }
  return seen;
}

Snapshot FakeOs::look(Pid pid, int generation, Look look) {
  Snapshot seen;
  seen.pid = pid;
  try {
    const FakeProcess found = query(pid, "exe", generation);
    seen.exe = found.exe;
    seen.own_root = !found.other_root;
  } catch (const ProcessEnded&) {
    throw;
  } catch (const std::system_error& e) {
    seen.exe_error = e;
  }
  if (reads(look, Look::kOwner)) seen.owner = query(pid, "user", generation).user;
  if (reads(look, Look::kParent)) seen.parent = query(pid, "parent", generation).parent;
  if (reads(look, Look::kCommandLine)) seen.command_line = query(pid, "cmdline", generation).command_line;
  // Confirmed through the handle, as the real one is.
  const auto found = processes_.find(pid);
  if (found == processes_.end() || found->second.generation != generation) throw ProcessEnded("look");
  return seen;
}

const FakeOs::Entry& FakeOs::live(Pid pid, const std::string& kind) {
  if (const int err = failing_queries_[{pid, kind}]; err != 0) throw_errno(err, kind + " " + std::to_string(pid));
  const auto found = processes_.find(pid);
  if (found == processes_.end()) throw ProcessEnded(kind + " " + std::to_string(pid));
  return found->second;
}

void FakeOs::react(Reactions& reactions, Pid pid, const std::string& kind) {
  const auto reaction = reactions.find({pid, kind});
  if (reaction == reactions.end()) return;
  const auto run = std::move(reaction->second);
  reactions.erase(reaction);
  run();
}

FakeProcess FakeOs::query(Pid pid, const std::string& kind, int generation) {
  react(query_reactions_, pid, kind);
  const Entry& found = live(pid, kind);
  // A handle reaches only the process it was opened on.
  if (found.generation != generation) throw ProcessEnded(kind + " " + std::to_string(pid));
  return found.process;
}

std::unique_ptr<Process> FakeOs::open_process(Pid pid) {
  react(query_reactions_, pid, "open");
  return std::make_unique<FakeHandle>(*this, pid, live(pid, "open").generation);
}

void FakeOs::signal(Pid pid, int generation, int signal) {
  if (const int err = failing_signals_[{pid, signal}]; err != 0) throw_errno(err, signal_entry(pid, signal));
  const auto found = processes_.find(pid);
  if (found == processes_.end() || found->second.generation != generation)
    throw ProcessEnded(signal_entry(pid, signal));
  trace_.push_back(signal_entry(pid, signal));
  if (signal == SIGKILL) end_process(pid);
  run_all(signal_reactions_, {pid, signal});
}

void FakeOs::shell(const std::string& command_line) {
  if (const int err = failing_calls_["shell"]; err != 0) throw_errno(err, "start /bin/sh for: " + command_line);
  trace_.push_back(shell_entry(command_line));
  run_all(shell_reactions_, command_line);
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
  if (const int err = failing_calls_["open"]; err != 0) throw_errno(err, "open " + path);
  SmallFile read;
  if (const auto found = files_.find(path); found != files_.end()) {
    read.exists = true;
    if (found->second.size() <= limit && unreadable_.count(path) == 0) read.content = found->second;
  }
  react(read_reactions_, 0, path);
  return read;
}

void FakeOs::remove_file(const std::string& path) {
  trace_.push_back("rm " + path);
  files_.erase(path);
  unreadable_.erase(path);
}

void FakeOs::file_put_contents(const std::string& path, const std::string& data) {
  if (const int err = failing_calls_["write"]; err != 0) throw Error(err, "file_put_contents " + path);
  trace_.push_back(write_entry(path, data));
  files_[path] = data;
}

long long FakeOs::GET_INFO_INT(const std::string& key) {
  settings_read_.push_back(key);
  const auto found = settings_.find(key);
  return found == settings_.end() ? 0 : found->second;
}

const SqliteLibrary& FakeOs::sqlite() {
  if (!sqlite_) sqlite_ = load_sqlite(sqlite_file_.empty() ? kSqliteLibrary : sqlite_file_.c_str());
  return *sqlite_;
}

std::string FakeOs::begin_journal_event() {
  trace_.emplace_back(kJournalEntry);
  if (const int err = failing_calls_["journal"]; err != 0) throw_errno(err, "open the journal");
  return event_database_;
}

void FakeOs::out(const std::string& line) {
  lines_.push_back(line);
  trace_.push_back(line);
  run_all(line_reactions_, line);
}

}  // namespace pw
