// The first process of a test sandbox's PID namespace: runs the command given,
// reaps every orphan that ends up with it, and exits with the command's status.
// Leaving ends the namespace, and with it every process still in it.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

int main(int argc, char** argv) {
  if (argc < 2) {
    (void)std::fprintf(stderr, "usage: sandbox_init COMMAND [ARGUMENT...]\n");
    return 2;
  }
  const pid_t command = ::fork();
  if (command == 0) {
    ::execvp(argv[1], argv + 1);
    std::perror(argv[1]);
    ::_exit(127);
  }
  for (;;) {
    int status = 0;
    const pid_t ended = ::wait(&status);
    if (ended < 0 && errno == EINTR) continue;
    if (ended < 0) return 1;
    if (ended == command) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
}
