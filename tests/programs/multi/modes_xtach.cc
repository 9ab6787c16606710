// Modes of kiv_test_program for the RPC and registration tests.
#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <unistd.h>

#include "kiv_rpc.h"
#include "kiv_xtach.h"

// rpc_client TYPE...: one acknowledged kiv_rpc per type, printing
// "TYPE=RESULT" lines: what the library does in a program of a given name.
int mode_rpc_client(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const unsigned type = static_cast<unsigned>(atoi(argv[i]));
    printf("%u=%d\n", type, kiv_rpc(type, nullptr, &type, sizeof type, 1, 0));
  }
  return 0;
}

// xtach_probe: reports how it was started to $XTACH_PROBE_OUT ("arg TEXT"
// per argument, "sid", "pid", "cwd", "policy", the SigIgn and SigBlk lines of
// /proc/self/status, "fd N" per descriptor), then waits to be killed.
int mode_xtach_probe(int argc, char** argv) {
  char tmp[512], line[512], cwd[256] = {};
  snprintf(tmp, sizeof tmp, "%s.tmp", getenv("XTACH_PROBE_OUT"));
  FILE* f = fopen(tmp, "we");
  DIR* d = opendir("/proc/self/fd");
  FILE* st = fopen("/proc/self/status", "re");
  if (f == nullptr || d == nullptr || st == nullptr) return 2;
  for (int i = 0; i < argc; ++i) fprintf(f, "arg %s\n", argv[i]);
  fprintf(f, "sid %d\npid %d\ncwd %s\npolicy %d\n", getsid(0), getpid(), getcwd(cwd, sizeof cwd), sched_getscheduler(0));
  while (fgets(line, sizeof line, st))
    if (strncmp(line, "SigIgn:", 7) == 0 || strncmp(line, "SigBlk:", 7) == 0) fprintf(f, "%.7s %s", line, line + 8);
  while (struct dirent* e = readdir(d)) {
    const int fd = atoi(e->d_name);  // leaving out its own three
    if (e->d_name[0] != '.' && fd != dirfd(d) && fd != fileno(f) && fd != fileno(st)) fprintf(f, "fd %d\n", fd);
  }
  closedir(d);
  fclose(st);
  fclose(f);
  if (rename(tmp, getenv("XTACH_PROBE_OUT")) != 0) return 3;
  for (;;) pause();
}

// xtach_fd_watcher LIMIT CALLS: runs the descriptor watch on itself with its
// limit lowered to LIMIT and filled; CALLS holds one letter per call, 'O' at
// the limit, 'U' below it, each printed once its call returned.
int mode_xtach_fd_watcher(int argc, char** argv) {
  struct rlimit lim;
  getrlimit(RLIMIT_NOFILE, &lim);
  lim.rlim_cur = strtoul(argv[argc - 2], nullptr, 10);
  if (setrlimit(RLIMIT_NOFILE, &lim) != 0) return 21;
  while (open("/dev/null", O_RDONLY | O_CLOEXEC) >= 0) {
  }
  // The watch's own look at /proc/self/fd takes the last one: the count it
  // sees is then the limit.
  const int last = static_cast<int>(lim.rlim_cur) - 1;
  close(last);
  for (const char* s = argv[argc - 1]; *s != '\0'; ++s) {
    if (*s == 'U') close(last - 1), close(last - 2);
    kiv_client_watch_process_fd(getpid());
    if (*s == 'U') (void)open("/dev/null", O_RDONLY | O_CLOEXEC), (void)open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (write(1, s, 1) != 1) return 22;
  }
  return 0;
}
