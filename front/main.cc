// proxywarden: starts, stops, restarts and lists the Squid proxy of the
// appliance, one action word per run.
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <string>

#include "front/dispatch.h"
#include "front/fixed.h"
#include "platform/limits.h"
#include "platform/signals.h"

int main(int argc, char** argv) {
  std::optional<pw::RunSignals> signals;
  std::unique_ptr<pw::Os> os;
  std::string failure;
  try {
    // A hang-up, an interrupt or a request to end waits until the action is
    // done, so that no caller can cut a sequence in half.
    signals.emplace();
    // The commands, and the proxy that the start launches, inherit the limit.
    pw::raise_open_file_limit();
    os = pw::real_os();  // loads the helper library first
    pw::run(*os, argc > 0 ? std::vector<std::string>(argv + 1, argv + argc) : std::vector<std::string>{});
  } catch (const std::exception& e) {
    failure = e.what();
  } catch (...) {
    failure = "unknown error";
  }
  // The lines printed before a failure come before its diagnostic.
  const int output_error = os ? os->flush_output() : 0;
  if (!failure.empty()) (void)std::fprintf(stderr, "%s: %s\n", pw::kProgram, failure.c_str());
  // Then the run ends as a signal that came meanwhile asked; output that a
  // hang-up kept from the terminal is no news to the caller.
  if (signals) signals->release();
  if (!failure.empty()) return 1;
  // A lost reader does not cut the action short; it shows in the status.
  if (output_error != 0) {
    (void)std::fprintf(stderr, "%s: write to standard output: %s\n", pw::kProgram, std::strerror(output_error));
    return 1;
  }
  return 0;
}
