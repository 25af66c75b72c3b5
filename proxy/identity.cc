#include "proxy/identity.h"

#include <string_view>

#include "proxy/fixed.h"

namespace pw {

namespace {

bool runs_proxy(const std::string& exe) { return exe.find(kSquidBinary) != std::string::npos; }

// Whether COMMAND_LINE holds one of Squid's control options, read as Squid's
// getopt_long reads it: words after the program's name that are no option or
// an option's value are passed over, and "--" ends the options.
bool control_command(const std::vector<std::string>& command_line) {
  constexpr std::string_view kOptions = kSquidOptions, kControl = kSquidControlOptions;
  for (size_t i = 1; i < command_line.size(); ++i) {
    const std::string_view word = command_line[i];
    if (word == "--") return false;
    if (word.starts_with("--")) {
      // Only its valued long option, whole or abbreviated as getopt_long
      // allows, takes the next word; after '=' its value is in the word itself.
      if (std::string_view(kSquidValuedLongOption).starts_with(word.substr(2))) ++i;
      continue;
    }
    if (word.size() < 2 || word[0] != '-') continue;
    for (size_t at = 1; at < word.size(); ++at) {
      if (kControl.find(word[at]) != std::string_view::npos) return true;
      const auto option = word[at] == ':' ? std::string_view::npos : kOptions.find(word[at]);
      if (option == std::string_view::npos || kOptions.substr(option + 1, 1) != ":") continue;
      // A value takes the rest of the word, or else the next word unless it is optional.
      if (at + 1 == word.size() && kOptions.substr(option + 2, 1) != ":") ++i;
      break;
    }
  }
  return false;
}

}  // namespace

Identity verdict_of(const Snapshot& seen, Pid candidate) {
  // Another system's processes are never the appliance's, even under the same
  // uid or PID.
  if (!seen.own_pid || !seen.own_root) return Identity::kNeither;
  const bool named = candidate > 0 && seen.pid == candidate;
  const bool proxy_user = seen.owner == kProxyUser;
  if (seen.exe_error) {
    // A path that may not be read is trusted for the process the PID file
    // names; one of the proxy user's that cannot be examined must not pass
    // unseen.
    if (named && access_refused(*seen.exe_error)) return Identity::kMain;
    if (named || proxy_user) throw *seen.exe_error;
    return Identity::kNeither;
  }
  // Squid's control commands run its program, as the proxy user once they
  // drop root, for as long as they take: never the proxy itself.
  const bool proxy = runs_proxy(seen.exe) && !control_command(seen.command_line);
  if (named && proxy) return Identity::kMain;
  if (seen.exe.empty() || !proxy_user) return Identity::kNeither;
  return proxy ? Identity::kMain : Identity::kProxyUser;
}

std::optional<Snapshot> qualifying_look(Os& os, Pid pid, Identity least, Pid candidate, Look look) {
  try {
    // The cheap look by PID passes over what cannot qualify: most processes run
    // another program, or none.
    const Glance glance = os.glance(pid);
    if (!glance.exe_error && (glance.exe.empty() || (least == Identity::kMain && !runs_proxy(glance.exe)))) {
      return std::nullopt;
    }
    // Only a process of the proxy's program needs its command line read.
    const Snapshot seen = os.open_process(pid)->look(runs_proxy(glance.exe) ? look | Look::kCommandLine : look);
    if (verdict_of(seen, candidate) < least) return std::nullopt;
    return seen;
  } catch (const ProcessEnded&) {
    return std::nullopt;  // ended while it was examined
  }
}

void walk_processes(Os& os, Identity least, Pid candidate, Look look,
                    const std::function<bool(const Snapshot&)>& visit) {
  for (const Pid pid : os.list_processes()) {
    const auto seen = qualifying_look(os, pid, least, candidate, look);
    if (seen && !visit(*seen)) return;
  }
}

}  // namespace pw
