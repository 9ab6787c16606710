// A client of the Manager for its end-to-end tests, doing what a device
// program does: it registers its exit action through the library, may send
// a time value or withdraw again, and may run a watchdog thread that
// registers itself and beats through the library, then waits.
//   -r            restart registration (reg_process_exit_action)
//   -p PID        register PID instead of itself (with -r)
//   -S SCRIPT     shell registration (reg_process_exit_action_shell)
//   -K            keyword registration ("KIV_SHELL_RESTART")
//   -t SECONDS    send a time value first (kiv_time_set)
//   -c            withdraw the registration again (kiv_cancel_proc)
//   -D MS         wait MS before withdrawing
//   -x            exit with status 3 right after registering
//   -w TIME       watchdog thread with that time argument (odd: sampled
//                 every 4 s, hung after 180 s; even: 5 s and 120 s)
//   -n            the thread registers through the _no_proc variant
//   -b MS         heartbeat interval (default 20 ms)
//   -H MS         the thread stops beating after MS
//   -E MS         the thread ends after MS
//   -U            the thread withdraws its watch before it ends
//   -o FILE       append a line per step: "start PID", "registered MS"
//                 (how long the call took), "cancel RC", "thread TID",
//                 "watch RC", "unwatched"
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include "kiv_xtach.h"

namespace {

enum class Registration { kNone, kRestart, kShell, kKeyword };

const char* g_out = nullptr;
Registration g_registration = Registration::kNone;
const char* g_shell = nullptr;
int g_pid = 0;  // 0: the client itself
int g_watch_time = 0;
bool g_no_proc = false;
bool g_withdraw_thread = false;
int g_beat_ms = 20;
long g_hang_after_ms = -1;
long g_end_after_ms = -1;

void note(const char* fmt, long v) {
  if (g_out == nullptr) return;
  FILE* f = fopen(g_out, "ae");
  if (f == nullptr) return;
  fprintf(f, fmt, v);
  fputc('\n', f);
  fclose(f);
}

long now_ms() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

// The time the call took, or -1 when it reported a failure. The
// acknowledged registrations return 0 whatever happened: only their
// duration tells whether the Manager answered at once.
long register_self() {
  const long t0 = now_ms();
  int rc = 0;
  switch (g_registration) {
    case Registration::kNone: return 0;
    case Registration::kRestart: rc = reg_process_exit_action(g_pid, KIV_EXIT_RESTART); break;
    case Registration::kShell: rc = reg_process_exit_action_shell(0, KIV_EXIT_SHELL_RESTART, g_shell); break;
    case Registration::kKeyword: rc = reg_third_part_process_exit_action(0, "KIV_SHELL_RESTART"); break;
  }
  return rc == 0 ? now_ms() - t0 : -1;
}

void* watchdog(void*) {
  const int pid = getpid();
  const int tid = static_cast<int>(syscall(SYS_gettid));
  note("thread %ld", tid);
  const int rc = g_no_proc ? kiv_client_reg_thread_notify_no_proc(pid, tid, g_watch_time, 1)
                           : kiv_client_reg_thread_notify(pid, tid, g_watch_time, 1);
  note("watch %ld", rc);
  const long start = now_ms();
  while (g_end_after_ms < 0 || now_ms() - start < g_end_after_ms) {
    if (g_hang_after_ms < 0 || now_ms() - start < g_hang_after_ms) {
      (void)kiv_client_reset_thread_notify(pid, tid, g_watch_time, 1);
    }
    usleep(static_cast<useconds_t>(g_beat_ms) * 1000);
  }
  if (g_withdraw_thread) {
    (void)kiv_client_unreg_thread_notify(tid);
    note("unwatched", 0);
  }
  return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  bool cancel = false, exit_now = false;
  long time_value = -1;
  long cancel_delay_ms = 0;
  int c;
  while ((c = getopt(argc, argv, "rp:S:Kt:cD:xw:nb:H:E:Uo:")) != -1) {
    switch (c) {
      case 'r': g_registration = Registration::kRestart; break;
      case 'p': g_pid = atoi(optarg); break;
      case 'S':
        g_registration = Registration::kShell;
        g_shell = optarg;
        break;
      case 'K': g_registration = Registration::kKeyword; break;
      case 't': time_value = atol(optarg); break;
      case 'c': cancel = true; break;
      case 'D': cancel_delay_ms = atol(optarg); break;
      case 'x': exit_now = true; break;
      case 'w': g_watch_time = atoi(optarg); break;
      case 'n': g_no_proc = true; break;
      case 'b': g_beat_ms = atoi(optarg); break;
      case 'H': g_hang_after_ms = atol(optarg); break;
      case 'E': g_end_after_ms = atol(optarg); break;
      case 'U': g_withdraw_thread = true; break;
      case 'o': g_out = optarg; break;
      default: return 2;
    }
  }
  // A hang ends in SIGABRT: no core files in the sandbox's file system.
  struct rlimit no_core = {0, 0};
  (void)setrlimit(RLIMIT_CORE, &no_core);
  note("start %ld", getpid());
  if (time_value >= 0) (void)kiv_time_set(0, KIV_EXIT_RESTART, static_cast<uint32_t>(time_value));
  if (g_registration != Registration::kNone) note("registered %ld", register_self());
  if (cancel) {
    usleep(static_cast<useconds_t>(cancel_delay_ms) * 1000);
    note("cancel %ld", kiv_cancel_proc(0));
  }
  if (exit_now) return 3;
  if (g_watch_time != 0) {
    pthread_t t;
    if (pthread_create(&t, nullptr, watchdog, nullptr) != 0) return 1;
  }
  for (;;) pause();
}
