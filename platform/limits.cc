#include "platform/limits.h"

#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <string>
#include <system_error>

#include "platform/fixed.h"

namespace pw {

void raise_open_file_limit() noexcept {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  const rlim_t wanted = std::min(limit.rlim_max, std::max(limit.rlim_cur, static_cast<rlim_t>(kOpenFilesWanted)));
  if (wanted == limit.rlim_cur) return;
  limit.rlim_cur = wanted;
  // A refusal leaves the run with the limit it was given.
  (void)::setrlimit(RLIMIT_NOFILE, &limit);
}

void require_open_files_for_commands() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) throw std::system_error(errno, std::generic_category(), "getrlimit");
  if (limit.rlim_cur >= static_cast<rlim_t>(kOpenFilesNeeded)) return;
  throw std::runtime_error("the limit on open files (" + std::to_string(limit.rlim_cur) + ") is below the " +
                           std::to_string(kOpenFilesNeeded) + " that the proxy's commands need: nothing was run");
}

}  // namespace pw
