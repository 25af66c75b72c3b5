// proxywarden: starts, stops, restarts and lists the Squid proxy of the
// appliance, one action word per run.
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <string>

#include "front/dispatch.h"
#include "front/fixed.h"

int main(int argc, char** argv) {
  std::unique_ptr<pw::Os> os;
  std::string failure;
  try {
    os = pw::real_os();  // loads the helper library first
    pw::run(*os, argc > 0 ? std::vector<std::string>(argv + 1, argv + argc) : std::vector<std::string>{});
    // A lost reader does not cut the action short; it shows in the status.
    if (const int err = os->flush_output(); err != 0) {
      failure = std::string("write to standard output: ") + std::strerror(err);
    }
  } catch (const std::exception& e) {
    failure = e.what();
  } catch (...) {
    failure = "unknown error";
  }
  if (failure.empty()) return 0;
  // The lines printed before the failure come before its diagnostic.
  if (os) (void)os->flush_output();
  (void)std::fprintf(stderr, "%s: %s\n", pw::kProgram, failure.c_str());
  return 1;
}
