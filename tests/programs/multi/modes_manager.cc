// The mode of kiv_test_program for the Manager's tests: a device program
// that registers through the library.
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include "kiv_xtach.h"

namespace {

const char* g_out = nullptr;
int g_watch = 0;         // -w: time argument of the thread's watch
bool g_no_proc = false;  // -n: the _no_proc registration
long g_hang_ms = -1;     // -H: the thread stops beating after this

void note(const char* what, long v) {
  FILE* f = g_out != nullptr ? fopen(g_out, "ae") : nullptr;
  if (f != nullptr) fprintf(f, "%s %ld\n", what, v), fclose(f);
}

long now_ms() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

void* watchdog(void*) {
  const int pid = getpid(), tid = static_cast<int>(syscall(SYS_gettid));
  note("thread", tid);
  (void)(g_no_proc ? kiv_client_reg_thread_notify_no_proc(pid, tid, g_watch, 1)
                   : kiv_client_reg_thread_notify(pid, tid, g_watch, 1));
  for (const long t0 = now_ms();; usleep(20000)) {
    if (g_hang_ms < 0 || now_ms() - t0 < g_hang_ms) (void)kiv_client_reset_thread_notify(pid, tid, g_watch, 1);
  }
  return nullptr;
}

}  // namespace

// Appends "start PID" to the file of -o, then with -r registers its
// restart ("registered MS": how long that took, -1 when it failed), after
// a time value with -t SECONDS; with -w TIME (see above) runs a watched
// thread ("thread TID"). Then waits.
int mode_mgr_client(int argc, char** argv) {
  bool restart = false;
  long time_value = -1;
  for (int c; (c = getopt(argc, argv, "rt:w:nH:o:")) != -1;) {
    switch (c) {
      case 'r': restart = true; break;
      case 't': time_value = atol(optarg); break;
      case 'w': g_watch = atoi(optarg); break;
      case 'n': g_no_proc = true; break;
      case 'H': g_hang_ms = atol(optarg); break;
      case 'o': g_out = optarg; break;
      default: return 2;
    }
  }
  // A hang ends in SIGABRT: no core files in the sandbox's file system.
  const struct rlimit no_core = {0, 0};
  (void)setrlimit(RLIMIT_CORE, &no_core);
  note("start", getpid());
  if (time_value >= 0) (void)kiv_time_set(0, KIV_EXIT_RESTART, static_cast<uint32_t>(time_value));
  // The acknowledged registration returns 0 whatever happened: only the
  // time it took tells whether the Manager answered at once.
  const long t0 = now_ms();
  if (restart) note("registered", reg_process_exit_action(0, KIV_EXIT_RESTART) == 0 ? now_ms() - t0 : -1);
  pthread_t t;
  if (g_watch != 0 && pthread_create(&t, nullptr, watchdog, nullptr) != 0) return 1;
  for (;;) pause();
}
