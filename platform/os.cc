#include "platform/os.h"

namespace pw {

// A process that ended shows as ESRCH from the signal calls and as ENOENT from
// its /proc entries.
bool process_gone(const std::system_error& e) {
  return e.code() == std::errc::no_such_process || e.code() == std::errc::no_such_file_or_directory;
}

bool access_refused(const std::system_error& e) {
  return e.code() == std::errc::permission_denied || e.code() == std::errc::operation_not_permitted;
}

}  // namespace pw
