// Modes of kiv_test_program for the RPC and registration tests.
#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <thread>

#include "kiv_dbg.h"
#include "kiv_rpc.h"
#include "kiv_sys_alive.h"
#include "kiv_xtach.h"

// rpc_client TYPE...: one acknowledged kiv_rpc per type, printing
// "TYPE=RESULT" lines; what the library does in a process of a given name.
int mode_rpc_client(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const unsigned type = static_cast<unsigned>(atoi(argv[i]));
    printf("%u=%d\n", type, kiv_rpc(type, nullptr, &type, sizeof type, 1, 0));
  }
  return 0;
}

// xtach_probe: reports how it was started to $XTACH_PROBE_OUT ("arg TEXT"
// per argument, "sid", "pid", "cwd", "policy", the SigIgn and SigBlk lines of
// /proc/self/status, "fd N TARGET" per descriptor), then waits to be killed.
int mode_xtach_probe(int argc, char** argv) {
  const char* out = getenv("XTACH_PROBE_OUT");
  char tmp[512], line[512], cwd[256] = {};
  if (out == nullptr) return 2;
  snprintf(tmp, sizeof tmp, "%s.tmp", out);
  FILE* f = fopen(tmp, "we");  // descriptor N+1: known and left out below
  if (f == nullptr) return 3;
  for (int i = 0; i < argc; ++i) fprintf(f, "arg %s\n", argv[i]);
  fprintf(f, "sid %d\npid %d\ncwd %s\npolicy %d\n", getsid(0), getpid(), getcwd(cwd, sizeof cwd),
          sched_getscheduler(0));
  if (FILE* st = fopen("/proc/self/status", "re")) {
    while (fgets(line, sizeof line, st))
      if (strncmp(line, "SigIgn:", 7) == 0 || strncmp(line, "SigBlk:", 7) == 0) fputs(line, f);
    fclose(st);
  }
  DIR* d = opendir("/proc/self/fd");
  while (struct dirent* e = d ? readdir(d) : nullptr) {
    const int fd = atoi(e->d_name);
    if (e->d_name[0] == '.' || fd == dirfd(d) || fd == fileno(f)) continue;
    char target[256] = {}, link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    (void)!readlink(link, target, sizeof target - 1);
    fprintf(f, "fd %d %s\n", fd, target);
  }
  if (d) closedir(d);
  fclose(f);
  if (rename(tmp, out) != 0) return 4;
  for (;;) pause();
}

// xtach_fd_watcher LIMIT CALLS: runs the descriptor watch on itself with its
// limit lowered to LIMIT and filled; CALLS holds one letter per call, 'O' at
// the limit, 'U' below it, each written to stderr once its call returned.
int mode_xtach_fd_watcher(int argc, char** argv) {
  if (argc != 3) return 20;
  struct rlimit lim;
  getrlimit(RLIMIT_NOFILE, &lim);
  lim.rlim_cur = strtoul(argv[1], nullptr, 10);
  if (setrlimit(RLIMIT_NOFILE, &lim) != 0) return 21;
  while (open("/dev/null", O_RDONLY | O_CLOEXEC) >= 0) {
  }
  // The watch's own look at /proc/self/fd takes the last one: the count it
  // sees is then the limit.
  const int last = static_cast<int>(lim.rlim_cur) - 1;
  close(last);
  for (const char* s = argv[2]; *s != '\0'; ++s) {
    if (*s == 'U') close(last - 1), close(last - 2);
    kiv_client_watch_process_fd(getpid());
    if (*s == 'U') (void)open("/dev/null", O_RDONLY | O_CLOEXEC), (void)open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (write(2, s, 1) != 1) return 22;
  }
  return 0;
}

// reg_beater N: a registered thread (the program plays the Manager's part in
// the alive table) beats twice, then N times between two markers, writes to
// descriptor -1 that stand out in a system-call trace; prints "tid=T bad=B
// seq=S".
int mode_reg_beater(int argc, char** argv) {
  if (argc != 2 || kiv_sys_init_alive_info(1) != 0) return 2;
  const long n = strtol(argv[1], nullptr, 10);
  const int pid = getpid();
  int tid = 0, bad = 0;
  std::thread beater([&] {
    tid = static_cast<int>(syscall(SYS_gettid));
    bad += kiv_sys_reg_alive_info(tid) != 0;
    for (long i = -2; i < n; ++i) {
      if (i == 0) (void)!write(-1, "kiv-beat-begin", 14);
      bad += kiv_client_reset_thread_notify(pid, tid, 1, 1) != 0;
    }
    (void)!write(-1, "kiv-beat-end", 12);
  });
  beater.join();
  printf("tid=%d bad=%d seq=%d\n", tid, bad, kiv_sys_get_alive_seq(tid));
  return 0;
}
