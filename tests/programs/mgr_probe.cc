// Records how it was started (session, working directory, signal mask,
// SIGTERM disposition, arguments) in the file named by its first argument,
// then exits with the status given as its second.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc < 3) return 100;
  FILE* f = fopen(argv[1], "we");
  if (f == nullptr) return 101;
  sigset_t mask;
  sigprocmask(SIG_SETMASK, nullptr, &mask);
  struct sigaction term;
  sigaction(SIGTERM, nullptr, &term);
  char cwd[256] = {};
  if (getcwd(cwd, sizeof cwd) == nullptr) cwd[0] = '?';
  fprintf(f, "session_leader=%d cwd=%s usr1_blocked=%d term_default=%d args=%d\n", getsid(0) == getpid(), cwd,
          sigismember(&mask, SIGUSR1), term.sa_handler == SIG_DFL, argc);
  fclose(f);
  return atoi(argv[2]);
}
