// Modes of kiv_test_program for the VSD tests: probes that report where they
// run, and a process with a known resident set.
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <initializer_list>

namespace {

char g_term_path[160];

const char* env(const char* name) { return getenv(name) != nullptr ? getenv(name) : "<unset>"; }

// Writes /tmp/vsd_probe/NAME.TAG (TAG: the last part of $TMPDIR, "host"
// without it): what the process was given, as key=value lines. Then it ends,
// or waits for a signal (ignoring SIGTERM, noted in NAME.TAG.term, if asked).
int probe(const char* name, int argc, char** argv, bool stay, bool ignore_term = false) {
  const char* slash = strrchr(env("TMPDIR"), '/');
  char path[128], tmp[160];
  snprintf(path, sizeof path, "/tmp/vsd_probe/%s.%s", name, slash != nullptr ? slash + 1 : "host");
  snprintf(tmp, sizeof tmp, "%s.%d", path, getpid());
  snprintf(g_term_path, sizeof g_term_path, "%s.term", path);
  if (ignore_term) signal(SIGTERM, [](int) { close(open(g_term_path, O_WRONLY | O_CREAT | O_CLOEXEC, 0644)); });
  FILE* f = fopen(tmp, "we");
  if (f == nullptr) return 2;
  gid_t groups[8];
  const int n = getgroups(8, groups);
  fprintf(f, "pid=%d\ngroups=", getpid());
  for (int i = 0; i < n; ++i) fprintf(f, "%s%u", i ? " " : "", groups[i]);
  for (const char* var : {"QN_CFG_DIR", "TALU_DIR", "DATA_TALU_DIR", "DATA_TALU_DIR2", "TMPDIR"})
    fprintf(f, "\n%s=%s", var, env(var));
  char cwd[128] = {};
  struct stat st = {};
  (void)stat("/proc/self/ns/net", &st);
  fprintf(f, "\ncwd=%s\nnetns=%lu\nargv=", getcwd(cwd, sizeof cwd), static_cast<unsigned long>(st.st_ino));
  for (int i = 0; i < argc; ++i) fprintf(f, "%s%s", i ? "|" : "", argv[i]);
  fprintf(f, "\n");
  fclose(f);
  rename(tmp, path);  // readers see the whole report or none
  if (!stay) return 0;
  alarm(120);  // ends by itself should a test forget it
  for (;;) pause();
}

}  // namespace

int mode_vsd_probe_once(int argc, char** argv) { return probe("vsd_probe_once", argc, argv, false); }
int mode_vsd_probe_start(int argc, char** argv) { return probe("vsd_probe_start", argc, argv, false); }
int mode_vsd_probe_stay(int argc, char** argv) { return probe("vsd_probe_stay", argc, argv, true); }
int mode_vsd_probe_daemon(int argc, char** argv) { return probe("vsd_probe_daemon", argc, argv, true); }
int mode_vsd_probe_ignterm(int argc, char** argv) { return probe("vsd_probe_ignterm", argc, argv, true, true); }

// Maps, touches and locks argv[1] KiB, says it is ready with one byte on
// descriptor 3, then waits to be killed.
int mode_vsd_res_hog(int argc, char** argv) {
  const size_t bytes = argc == 2 ? strtoul(argv[1], nullptr, 10) * 1024 : 0;
  void* p = bytes > 0 ? mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0) : nullptr;
  if (p == MAP_FAILED) return 3;
  if (p != nullptr) {
    memset(p, 0x5a, bytes);
    (void)mlock(p, bytes);
  }
  if (write(3, "r", 1) != 1) return 1;
  close(3);
  alarm(120);
  for (;;) pause();
}
