// StandInOs is the real Os with the proxy's world moved into a test directory:
// the fixed paths lie under ROOT, the commands run ROOT's programs, processes
// of the stand-in uid count as the proxy user's, and output lines are kept
// instead of printed. It lets the sequences run on the real machine against a
// fake proxy without touching the machine's own proxy paths.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/os.h"

namespace pw {

class StandInOs final : public Os {
 public:
  StandInOs(std::unique_ptr<Os> real, std::string root, uid_t proxy_uid);

  const std::vector<std::string>& lines() const { return lines_; }
  void clear_lines() { lines_.clear(); }
  std::string moved(const std::string& path) const { return root_ + path; }

  std::vector<Pid> list_processes() override { return real_->list_processes(); }
  bool process_exists(Pid pid) override { return real_->process_exists(pid); }
  std::string exe_path(Pid pid) override { return real_->exe_path(pid); }
  std::string user_name(Pid pid) override;
  Pid parent_pid(Pid pid) override { return real_->parent_pid(pid); }
  std::vector<std::string> command_line(Pid pid) override { return real_->command_line(pid); }
  std::unique_ptr<Process> open_process(Pid pid) override { return real_->open_process(pid); }
  void shell(const std::string& command_line) override;
  void sleep(int seconds) override { real_->sleep(seconds); }
  std::int64_t now() override { return real_->now(); }
  double monotonic_seconds() override { return real_->monotonic_seconds(); }
  std::optional<std::string> read_file(const std::string& path) override { return real_->read_file(moved(path)); }
  void file_put_contents(const std::string& path, const std::string& data) override {
    real_->file_put_contents(moved(path), data);
  }
  long long GET_INFO_INT(const std::string& key) override;
  std::string event_database() override;
  void out(const std::string& line) override { lines_.push_back(line); }

 private:
  std::unique_ptr<Os> real_;
  std::string root_;
  std::string proxy_uid_;
  std::vector<std::string> lines_;
};

}  // namespace pw
