// A process that tests start inside a VSD: it writes what it was given
// (groups, environment, working directory, network namespace, arguments)
// to /tmp/vsd_probe/NAME.TAG, NAME being its program name and TAG the last
// part of $TMPDIR ("host" without it). Its name says how it goes on:
// "once" ends at once, "ignterm" ignores SIGTERM (noting when it came in
// NAME.TAG.term), any other name waits for a signal.
#include <fcntl.h>
#include <grp.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include <initializer_list>
#include <unistd.h>

namespace {

constexpr char kDir[] = "/tmp/vsd_probe";
constexpr unsigned kLifetime = 120;  // ends by itself should a test forget it
char g_term_path[PATH_MAX];

const char* base_name(const char* path) {
  const char* slash = strrchr(path, '/');
  return slash ? slash + 1 : path;
}

void on_term(int) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  char text[64];
  int n = snprintf(text, sizeof text, "%lld\n",
                   static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000);
  int fd = open(g_term_path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd >= 0) {
    (void)!write(fd, text, static_cast<size_t>(n));
    close(fd);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const char* name = base_name(argv[0]);
  const char* tmpdir = getenv("TMPDIR");
  const char* tag = tmpdir ? base_name(tmpdir) : "host";
  char path[PATH_MAX / 2], tmp[PATH_MAX];
  snprintf(path, sizeof path, "%s/%s.%s", kDir, name, tag);
  snprintf(tmp, sizeof tmp, "%s.tmp%d", path, getpid());
  snprintf(g_term_path, sizeof g_term_path, "%s.term", path);
  if (strstr(name, "ignterm") != nullptr) signal(SIGTERM, on_term);

  FILE* f = fopen(tmp, "we");
  if (f == nullptr) return 2;
  fprintf(f, "pid=%d\n", getpid());
  gid_t groups[64];
  int n = getgroups(64, groups);
  fprintf(f, "groups=");
  for (int i = 0; i < n; ++i) fprintf(f, "%s%u", i ? " " : "", groups[i]);
  fprintf(f, "\n");
  for (const char* var : {"QN_CFG_DIR", "TALU_DIR", "DATA_TALU_DIR", "DATA_TALU_DIR2", "TMPDIR"}) {
    const char* v = getenv(var);
    fprintf(f, "%s=%s\n", var, v ? v : "<unset>");
  }
  char cwd[PATH_MAX] = {};
  fprintf(f, "cwd=%s\n", getcwd(cwd, sizeof cwd) ? cwd : "?");
  struct stat st;
  fprintf(f, "netns=%llu\n",
          stat("/proc/self/ns/net", &st) == 0 ? static_cast<unsigned long long>(st.st_ino) : 0ULL);
  fprintf(f, "argv=");
  for (int i = 0; i < argc; ++i) fprintf(f, "%s%s", i ? "|" : "", argv[i]);
  fprintf(f, "\n");
  fclose(f);
  rename(tmp, path);  // readers see the whole report or none

  if (strstr(name, "once") != nullptr) return 0;
  alarm(kLifetime);
  for (;;) pause();
}
