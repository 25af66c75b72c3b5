/* Starts N idle processes, as user UID when given, in a process group of their
   own, then waits; killing the group ends them all.
     spawn N [UID] */
#define _GNU_SOURCE
#include <grp.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const long count = atol(argv[1]);
  const long uid = argc > 2 ? atol(argv[2]) : -1;
  setpgid(0, 0);
  for (long i = 0; i < count; i++) {
    pid_t child = fork();
    if (child < 0) {
      perror("fork");
      return 1;
    }
    if (child == 0) {
      if (uid >= 0 && (setgroups(0, NULL) != 0 || setgid(uid) != 0 || setuid(uid) != 0)) _exit(3);
      for (;;) pause();
    }
  }
  printf("%d\n", getpgrp());
  fflush(stdout);
  for (;;) pause();
}
