#include "proxy/sweep.h"

#include <algorithm>

#include "platform/text.h"
#include "proxy/fixed.h"
#include "proxy/identity.h"

namespace pw {
namespace {

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
  walk_processes(os, Identity::kProxyUser, 0, Look::kOwner, [&](const Snapshot& seen) {
    pids.push_back(seen.pid);
    return true;
  });
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
      const Snapshot seen = process->look(Look::kOwner);
      if (verdict_of(seen, 0) == Identity::kNeither) {
        // No longer a proxy-user process: the one listed has ended, and the
        // process now holding its PID is neither signalled nor named.
        os.out(fill(kSignalFailedLine, {number, ""}));
        continue;
      }
      exe = printable_path(seen.exe);
      os.out(fill(kSignalLine, {number, exe}));
      process->terminate();
      try {
        process->kill();
      } catch (const ProcessEnded&) {
        // Ended on SIGTERM: what the sweep wanted.
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
  walk_processes(os, Identity::kProxyUser, 0, Look::kListing, [&](const Snapshot& seen) {
    os.out(fill(kListingLine, {std::to_string(seen.pid), printable_path(seen.exe), list_form(seen.command_line),
                               std::to_string(seen.parent)}));
    return true;
  });
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
