// StandInOs is the real Os with the proxy's world moved into a test directory:
// the fixed paths lie under ROOT, the commands run ROOT's programs, processes
// of the stand-in uid count as the proxy user's, and output lines are kept
// instead of printed. Its process table holds only the test's descendants (the
// test is their subreaper while it lives, so a daemon stays in view): a test
// can neither examine nor signal a process it did not start.
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
  ~StandInOs() override;
  StandInOs(const StandInOs&) = delete;
  StandInOs& operator=(const StandInOs&) = delete;

  const std::vector<std::string>& lines() const { return lines_; }
  void clear_lines() { lines_.clear(); }
  std::string moved(const std::string& path) const { return root_ + path; }

  std::vector<Pid> list_processes() override;
  Glance glance(Pid pid) override;
  std::unique_ptr<Process> open_process(Pid pid) override;
  void shell(const std::string& command_line) override;
  // The commands run here, as children of the test, whatever runs the machine.
  bool booted_with_systemd() override { return false; }
  void sleep(int seconds) override { real_->sleep(seconds); }
  std::int64_t now() override { return real_->now(); }
  double monotonic_seconds() override { return real_->monotonic_seconds(); }
  SmallFile read_small_file(const std::string& path, std::size_t limit) override {
    return real_->read_small_file(moved(path), limit);
  }
  void file_put_contents(const std::string& path, const std::string& data) override {
    real_->file_put_contents(moved(path), data);
  }
  long long GET_INFO_INT(const std::string& key) override;
  std::string begin_journal_event() override;
  const SqliteLibrary& sqlite() override { return real_->sqlite(); }
  void out(const std::string& line) override { lines_.push_back(line); }
  int flush_output() override { return 0; }

 private:
  // Whether PID is a descendant of the test's process.
  bool ours(Pid pid);
  // Reaps, as init would, the ended processes that the commands started and
  // left to the test; no other child of the test.
  void reap();

  std::unique_ptr<Os> real_;
  std::string root_;
  std::string proxy_uid_;
  int was_subreaper_ = 0;
  std::vector<std::string> lines_;
};

}  // namespace pw
