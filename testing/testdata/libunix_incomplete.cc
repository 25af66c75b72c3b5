// A helper library that exports file_put_contents but not GET_INFO_INT. With
// RAISE_AT_LOAD=1 in the environment, loading it sends the process SIGTERM,
// as a caller's request to end could arrive at any moment.
#include <signal.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>

extern "C" int file_put_contents(const char*, const char*, size_t) { return 0; }

__attribute__((constructor)) static void raise_at_load() {
  const char* raise_it = getenv("RAISE_AT_LOAD");
  if (raise_it != nullptr && strcmp(raise_it, "1") == 0) (void)raise(SIGTERM);
}
