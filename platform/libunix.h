/* The appliance's shared helper library, libunix.so: a small C interface that
   the program loads at start. Each operation returns 0 on success or an errno
   value. */
#pragma once

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Replaces the file's content with SIZE bytes of DATA, atomically for a reader:
   a temporary file in the same directory is renamed over PATH. A missing file
   is created with mode 0644; an existing file keeps its permission bits (0777)
   and its owner, and one that cannot be examined is left as it is, with the
   error returned. No directory is created. SIGTERM, SIGINT and SIGHUP wait
   until the temporary file is gone. */
int file_put_contents(const char* path, const char* data, size_t size);

/* Reads the integer setting KEY from the appliance's settings directory. A
   missing setting, one that holds no decimal integer, and anything there but a
   regular file (a FIFO, a device) read as 0; nothing there blocks. */
int GET_INFO_INT(const char* key, long long* value);

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
namespace pw {
/* The same two operations with the settings directory handed in, for tests. */
int put_contents(const char* path, const char* data, size_t size);
int read_setting(const char* dir, const char* key, long long* value);
}  // namespace pw
#endif
