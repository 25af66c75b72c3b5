#include "proxy/sweep.h"

#include <algorithm>

#include "platform/text.h"
#include "proxy/discovery.h"
#include "proxy/fixed.h"

namespace pw {
namespace {

// Whether PID is a proxy-user process; the path is read first, the owner only
// when there is a path. A process that ends meanwhile is not one.
bool proxy_user_process(Os& os, Pid pid, std::string* exe) {
  const auto path = selectable_exe_path(os, pid);
  if (!path || path->empty()) return false;
  *exe = *path;
  return owned_by_proxy_user(os, pid);
}

bool is_control(unsigned char byte) { return byte < 0x20 || byte == 0x7f; }

// Appends BYTE escaped: \t, \n, \r, or \x and two hexadecimal digits.
void append_escaped(std::string& out, unsigned char byte) {
  static constexpr char kHex[] = "0123456789abcdef";
  switch (byte) {
    case '\t':
      out += "\\t";
      break;
    case '\n':
      out += "\\n";
      break;
    case '\r':
      out += "\\r";
      break;
    default:
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 0xf];
  }
}

void append_quoted(std::string& out, const std::string& argument) {
  const bool has_single = argument.find('\'') != std::string::npos;
  const bool has_double = argument.find('"') != std::string::npos;
  const char quote = has_single && !has_double ? '"' : '\'';
  out += quote;
  for (const char c : argument) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\\' || (c == '\'' && quote == '\'')) {
      out += '\\';
      out += c;
    } else if (is_control(byte) || byte >= 0x80) {
      append_escaped(out, byte);
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
    if (proxy_user_process(os, pid, &exe)) pids.push_back(pid);
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
      // Identified through the handle, so that the signals cannot reach a
      // process that took over the PID since the listing.
      const auto process = os.open_process(pid);
      exe = printable_path(process->exe_path());
      if (exe.empty() || process->user_name() != kProxyUser) {
        // No longer a proxy-user process: the one listed has ended, and the
        // process now holding its PID is neither signalled nor named.
        os.out(fill(kSignalFailedLine, {number, ""}));
        continue;
      }
      os.out(fill(kSignalLine, {number, exe}));
      process->terminate();
      try {
        process->kill();
      } catch (const std::system_error& e) {
        // Ended on SIGTERM: what the sweep wanted.
        if (!process_gone(e)) throw;
      }
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
    if (!proxy_user_process(os, pid, &exe)) continue;
    std::string line;
    try {
      const Pid parent = os.parent_pid(pid);
      line = fill(kListingLine,
                  {std::to_string(pid), printable_path(exe), list_form(os.command_line(pid)), std::to_string(parent)});
    } catch (const std::system_error& e) {
      if (!process_gone(e)) throw;
      continue;
    }
    os.out(line);
  }
}

std::string printable_path(const std::string& path) {
  const auto control = [](char c) { return is_control(static_cast<unsigned char>(c)); };
  if (std::none_of(path.begin(), path.end(), control)) return path;
  std::string printable;
  for (const char c : path) {
    if (control(c)) {
      append_escaped(printable, static_cast<unsigned char>(c));
    } else {
      printable += c;
    }
  }
  return printable;
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
