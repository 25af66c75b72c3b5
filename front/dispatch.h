// The action table and the dispatch: the first action whose word is among the
// arguments runs.
#pragma once

#include <string>
#include <vector>

#include "platform/os.h"

namespace pw {

struct Action {
  const char* word;
  void (*run)(Os& os);
};

// The row of the first action, in the table's order, whose word equals one of
// ARGUMENTS exactly; nullptr when there is none.
const Action* choose_action(const std::vector<std::string>& arguments);

// Runs the chosen action, if any. An action that fails throws.
void run(Os& os, const std::vector<std::string>& arguments);

}  // namespace pw
