// A helper library that exports file_put_contents but not GET_INFO_INT.
#include <stddef.h>

extern "C" int file_put_contents(const char*, const char*, size_t) { return 0; }
