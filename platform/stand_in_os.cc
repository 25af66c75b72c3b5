#include "platform/stand_in_os.h"

#include "platform/error.h"
#include "platform/fixed.h"
#include "platform/libunix.h"

namespace pw {
namespace {

std::string replace_all(std::string text, const std::string& from, const std::string& to) {
  for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

}  // namespace

StandInOs::StandInOs(std::unique_ptr<Os> real, std::string root, uid_t proxy_uid)
    : real_(std::move(real)), root_(std::move(root)), proxy_uid_(std::to_string(proxy_uid)) {}

std::string StandInOs::user_name(Pid pid) {
  const auto name = real_->user_name(pid);
  return name == proxy_uid_ ? "squid" : name;
}

void StandInOs::shell(const std::string& command_line) {
  std::string moved_line = replace_all(command_line, "/usr/sbin/squid", moved("/usr/sbin/squid"));
  moved_line = replace_all(moved_line, "/sbin/sysctl", moved("/sbin/sysctl"));
  real_->shell(moved_line);
}

long long StandInOs::GET_INFO_INT(const std::string& key) {
  long long value = 0;
  if (const int err = read_setting(moved(kSettingsDir).c_str(), key.c_str(), &value); err != 0) {
    throw Error(err, "GET_INFO_INT " + key);
  }
  return value;
}

std::string StandInOs::event_database() { return moved(kEventDatabase); }

}  // namespace pw
