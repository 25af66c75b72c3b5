#include "front/dispatch.h"

#include <algorithm>

#include "front/actions.h"
#include "front/watchdog.h"

namespace pw {
namespace {

// Tested in this order: stop wins over restart, start over stop.
const Action kActions[] = {
    {"start", start_action},
    {"stop", stop_action},
    {"ps", ps_action},
    {"pid", pid_action},
    {"restart", restart_sequence},
    {"reload-timeout", reload_timeout_action},
    {"restart-cpu", restart_cpu_action},
    {"restart-memory", restart_memory_action},
};

}  // namespace

const Action* choose_action(const std::vector<std::string>& arguments) {
  for (const Action& action : kActions) {
    if (std::find(arguments.begin(), arguments.end(), action.word) != arguments.end()) return &action;
  }
  return nullptr;
}

void run(Os& os, const std::vector<std::string>& arguments) {
  if (const Action* action = choose_action(arguments)) action->run(os);
}

}  // namespace pw
