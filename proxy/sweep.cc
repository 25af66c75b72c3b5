#include "proxy/sweep.h"

#include "platform/text.h"
#include "proxy/fixed.h"

namespace pw {
namespace {

// Whether PID is a proxy-user process; the path is read first, the owner only
// when there is a path. Throws when the process cannot be examined.
bool proxy_user_process(Os& os, Pid pid, std::string* exe) {
  *exe = os.exe_path(pid);
  return !exe->empty() && os.user_name(pid) == kProxyUser;
}

void append_quoted(std::string& out, const std::string& argument) {
  const bool has_single = argument.find('\'') != std::string::npos;
  const bool has_double = argument.find('"') != std::string::npos;
  const char quote = has_single && !has_double ? '"' : '\'';
  static constexpr char kHex[] = "0123456789abcdef";
  out += quote;
  for (const char c : argument) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\\' || (c == '\'' && quote == '\'')) {
      out += '\\';
      out += c;
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (byte < 0x20 || byte >= 0x7f) {
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 0xf];
    } else {
      out += c;
    }
  }
  out += quote;
}

}  // namespace

std::vector<Pid> all_pids(Os& os) {
  std::vector<Pid> pids;
  std::string exe;
  for (const Pid pid : os.list_processes()) {
    try {
      if (proxy_user_process(os, pid, &exe)) pids.push_back(pid);
    } catch (const std::system_error& e) {
      if (!cannot_examine(e)) throw;
    }
  }
  return pids;
}

bool gosts_stop(Os& os) {
  const auto pids = all_pids(os);
  if (pids.empty()) {
    os.out(kNoOthersLine);
    return true;
  }
  for (const Pid pid : pids) {
    const std::string number = std::to_string(pid);
    std::string exe;
    try {
      const auto process = os.open_process(pid);
      exe = process->exe_path();
      os.out(fill(kSignalLine, {number, exe}));
      process->terminate();
      process->kill();
    } catch (const std::exception&) {
      // Whatever went wrong with this one, the sweep goes on with the next.
      os.out(fill(kSignalFailedLine, {number, exe}));
    }
  }
  if (all_pids(os).empty()) {
    os.out(kNoOthersLine);
    return true;
  }
  return false;
}

void ps_aux(Os& os) {
  std::string exe;
  for (const Pid pid : os.list_processes()) {
    std::string line;
    try {
      if (!proxy_user_process(os, pid, &exe)) continue;
      const Pid parent = os.parent_pid(pid);
      line = fill(kListingLine, {std::to_string(pid), exe, list_form(os.command_line(pid)), std::to_string(parent)});
    } catch (const std::system_error& e) {
      if (!cannot_examine(e)) throw;
      continue;
    }
    os.out(line);
  }
}

std::string list_form(const std::vector<std::string>& arguments) {
  std::string out = "[";
  for (size_t i = 0; i < arguments.size(); ++i) {
    if (i > 0) out += ", ";
    append_quoted(out, arguments[i]);
  }
  return out + "]";
}

}  // namespace pw
