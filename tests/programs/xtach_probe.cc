// A program that spawning tests start: it reports how it was started to the
// file named by $XTACH_PROBE_OUT, then waits to be killed. Report lines:
//   arg <text>            each argument, in order
//   sid <sid> pid <pid>
//   cwd <path>
//   SigIgn:/SigBlk:       the lines of /proc/self/status
//   policy <n>            scheduling policy of the thread
//   fd <n> <target>       each open descriptor
#include <dirent.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

int main(int argc, char** argv) {
  const char* out = getenv("XTACH_PROBE_OUT");
  if (out == nullptr) return 2;
  char tmp[512];
  snprintf(tmp, sizeof tmp, "%s.tmp", out);
  // The descriptor list is taken before the report file is opened.
  char fds[8192] = {};
  size_t used = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (struct dirent* e = readdir(d)) {
      if (e->d_name[0] == '.' || atoi(e->d_name) == dirfd(d)) continue;
      char link[300];
      char target[256] = {};
      snprintf(link, sizeof link, "/proc/self/fd/%s", e->d_name);
      if (readlink(link, target, sizeof target - 1) < 0) strcpy(target, "?");
      used += static_cast<size_t>(
          snprintf(fds + used, sizeof fds - used, "fd %s %s\n", e->d_name, target));
      if (used >= sizeof fds) return 3;
    }
    closedir(d);
  }
  FILE* f = fopen(tmp, "we");
  if (f == nullptr) return 4;
  for (int i = 0; i < argc; ++i) fprintf(f, "arg %s\n", argv[i]);
  fprintf(f, "sid %d pid %d\n", getsid(0), getpid());
  char cwd[512] = {};
  fprintf(f, "cwd %s\n", getcwd(cwd, sizeof cwd) ? cwd : "?");
  if (FILE* st = fopen("/proc/self/status", "re")) {
    char line[256];
    while (fgets(line, sizeof line, st)) {
      if (strncmp(line, "SigIgn:", 7) == 0 || strncmp(line, "SigBlk:", 7) == 0) fputs(line, f);
    }
    fclose(st);
  }
  fprintf(f, "policy %d\n", sched_getscheduler(0));
  fputs(fds, f);
  fclose(f);
  if (rename(tmp, out) != 0) return 5;
  for (;;) pause();
}
