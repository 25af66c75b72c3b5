#include "platform/os.h"

#include <cerrno>

namespace pw {

ProcessEnded::ProcessEnded(const std::string& what) : std::system_error(ESRCH, std::generic_category(), what) {}

NotAProcess::NotAProcess(const std::string& what) : std::system_error(EINVAL, std::generic_category(), what) {}

bool access_refused(const std::system_error& e) {
  return e.code() == std::errc::permission_denied || e.code() == std::errc::operation_not_permitted;
}

}  // namespace pw
