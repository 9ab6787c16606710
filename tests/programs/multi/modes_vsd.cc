// Modes of kiv_test_program for the VSD tests: probes that report where they
// run, a process with a known resident set, and set_proc_env in a fresh
// process.
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <initializer_list>

#include "kiv_vsd.h"

namespace {

enum class After { kEnd, kWait, kIgnoreTerm };
char g_term_path[160];

void on_term(int) { (void)close(open(g_term_path, O_WRONLY | O_CREAT | O_CLOEXEC, 0644)); }

// Writes /tmp/vsd_probe/NAME.TAG (TAG: the last part of $TMPDIR, "host"
// without it) with what the process was given, as key=value lines.
int probe(const char* name, int argc, char** argv, After after) {
  const char* tmpdir = getenv("TMPDIR");
  const char* slash = tmpdir != nullptr ? strrchr(tmpdir, '/') : nullptr;
  const char* tag = slash != nullptr ? slash + 1 : "host";
  char path[128], tmp[160];
  snprintf(path, sizeof path, "/tmp/vsd_probe/%s.%s", name, tag);
  snprintf(tmp, sizeof tmp, "%s.%d", path, getpid());
  snprintf(g_term_path, sizeof g_term_path, "%s.term", path);
  if (after == After::kIgnoreTerm) signal(SIGTERM, on_term);
  FILE* f = fopen(tmp, "we");
  if (f == nullptr) return 2;
  gid_t groups[8];
  const int n = getgroups(8, groups);
  fprintf(f, "pid=%d\ngroups=", getpid());
  for (int i = 0; i < n; ++i) fprintf(f, "%s%u", i ? " " : "", groups[i]);
  for (const char* var : {"QN_CFG_DIR", "TALU_DIR", "DATA_TALU_DIR", "DATA_TALU_DIR2", "TMPDIR"})
    fprintf(f, "\n%s=%s", var, getenv(var) != nullptr ? getenv(var) : "<unset>");
  char cwd[128] = {};
  struct stat st = {};
  (void)stat("/proc/self/ns/net", &st);
  fprintf(f, "\ncwd=%s\nnetns=%llu\nargv=", getcwd(cwd, sizeof cwd), static_cast<unsigned long long>(st.st_ino));
  for (int i = 0; i < argc; ++i) fprintf(f, "%s%s", i ? "|" : "", argv[i]);
  fprintf(f, "\n");
  fclose(f);
  rename(tmp, path);  // readers see the whole report or none
  if (after == After::kEnd) return 0;
  alarm(120);  // ends by itself should a test forget it
  for (;;) pause();
}

}  // namespace

int mode_vsd_probe_once(int argc, char** argv) { return probe("vsd_probe_once", argc, argv, After::kEnd); }
int mode_vsd_probe_start(int argc, char** argv) { return probe("vsd_probe_start", argc, argv, After::kEnd); }
int mode_vsd_probe_stay(int argc, char** argv) { return probe("vsd_probe_stay", argc, argv, After::kWait); }
int mode_vsd_probe_daemon(int argc, char** argv) { return probe("vsd_probe_daemon", argc, argv, After::kWait); }
int mode_vsd_probe_ignterm(int argc, char** argv) {
  return probe("vsd_probe_ignterm", argc, argv, After::kIgnoreTerm);
}

// Maps, touches and locks argv[1] KiB of anonymous memory, says it is ready
// with one byte on descriptor 3, then waits to be killed.
int mode_vsd_res_hog(int argc, char** argv) {
  if (argc != 2) return 2;
  const size_t bytes = strtoul(argv[1], nullptr, 10) * 1024;
  if (bytes > 0) {
    void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return 3;
    memset(p, 0x5a, bytes);
    (void)mlock(p, bytes);
  }
  if (write(3, "r", 1) != 1) return 1;
  close(3);
  alarm(120);
  for (;;) pause();
}

// set_proc_env(argv[1]), then what the process has become. A fresh process,
// so that the library loads its platform dependencies anew.
int mode_vsd_set_env(int argc, char** argv) {
  if (argc != 2) return 2;
  set_proc_env(atoi(argv[1]));
  char cwd[128] = {};
  gid_t groups[8] = {};
  const int n = getgroups(8, groups);
  const char* data2 = getenv("DATA_TALU_DIR2");
  const char* tmpdir = getenv("TMPDIR");
  printf("DATA_TALU_DIR2=%s\nTMPDIR=%s\ncwd=%s\n", data2 != nullptr ? data2 : "<unset>",
         tmpdir != nullptr ? tmpdir : "<unset>", getcwd(cwd, sizeof cwd));
  printf(n > 0 ? "groups=%d:%u\n" : "groups=%d\n", n, groups[0]);
  return 0;
}
