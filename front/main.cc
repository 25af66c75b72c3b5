// proxywarden: starts, stops, restarts and lists the Squid proxy of the
// appliance, one action word per run.
#include <cerrno>
#include <cstdio>
#include <exception>
#include <system_error>

#include "front/dispatch.h"
#include "front/fixed.h"

int main(int argc, char** argv) {
  try {
    const auto os = pw::real_os();  // loads the helper library first
    const int status = pw::run(*os, {argv + 1, argv + argc});
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
      throw std::system_error(errno, std::generic_category(), "write to standard output");
    }
    return status;
  } catch (const std::exception& e) {
    (void)std::fprintf(stderr, "%s: %s\n", pw::kProgram, e.what());
  } catch (...) {
    (void)std::fprintf(stderr, "%s: unknown error\n", pw::kProgram);
  }
  return 1;
}
