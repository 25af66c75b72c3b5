/* The floor for a walk of the process table: list /proc with getdents64 and
   read one /proc/PID/exe link per process, looking for the proxy's program, as
   the least that finding the main process without a PID file costs. With the
   argument "ps", also read each process's status, stat and cmdline, as the
   least that listing processes costs. */
#define _GNU_SOURCE
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

static long read_all(const char* path, char* buffer, long size) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  long n = read(fd, buffer, size);
  close(fd);
  return n;
}

int main(int argc, char** argv) {
  const int ps = argc > 1 && strcmp(argv[1], "ps") == 0;
  char entries[32768], path[300], link[4096], data[4096];
  int proc = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  long found = 0;
  for (;;) {
    long n = syscall(SYS_getdents64, proc, entries, sizeof entries);
    if (n <= 0) break;
    for (long at = 0; at < n;) {
      struct dirent64* entry = (struct dirent64*)(entries + at);
      at += entry->d_reclen;
      if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
      snprintf(path, sizeof path, "/proc/%s/exe", entry->d_name);
      long size = readlink(path, link, sizeof link - 1);
      if (size <= 0) continue;
      link[size] = '\0';
      if (!ps) {
        if (strstr(link, "/usr/sbin/squid") != NULL) found++;
        continue;
      }
      snprintf(path, sizeof path, "/proc/%s/status", entry->d_name);
      if (read_all(path, data, sizeof data) <= 0) continue;
      snprintf(path, sizeof path, "/proc/%s/stat", entry->d_name);
      if (read_all(path, data, sizeof data) <= 0) continue;
      snprintf(path, sizeof path, "/proc/%s/cmdline", entry->d_name);
      if (read_all(path, data, sizeof data) < 0) continue;
      found++;
    }
  }
  close(proc);
  printf("%ld\n", found);
  return 0;
}
