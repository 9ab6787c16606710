// A client of the Manager for its end-to-end tests. Registers itself as
// told, through the library's RPC call with the payloads the registration
// calls send, optionally runs a heartbeating watchdog thread, then waits.
//   -r            restart registration (type 1, acknowledged)
//   -S SCRIPT     shell registration (type 2, SCRIPT as name, tagged)
//   -K            keyword registration (type 2, acknowledged)
//   -V VSD        the VSD number to register with (default 0, the host)
//   -d            write and lock the pid database file as a registration does
//   -t SECONDS    send a time value first
//   -c            withdraw the registration again
//   -w PRESET     watchdog thread; PRESET odd: (4, 180) s, even: (5, 120) s
//   -b MS         heartbeat interval (default 20 ms)
//   -H MS         stop beating after MS
//   -E MS         the watchdog thread ends after MS
//   -n            ignore SIGABRT
//   SIGUSR2       stops the heartbeats for good (as the _no_proc registration does)
//   -x            exit with status 3 right after registering
//   -o FILE       append "start PID" at start, "ack MS" after the
//                 registration, "again RC" after each SIGUSR1-triggered
//                 registration
// The thread beats through the alive table once the Manager has marked
// it, and by heartbeat messages when its id is outside the table.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "kiv_pidfile.h"
#include "kiv_rpc.h"
#include "kiv_sys_alive.h"
#include "kiv_utils.h"

namespace {

const char* g_out = nullptr;
int g_type = 0;
std::string g_shell;
int g_preset = 0;
int g_vsd = 0;
int g_beat_ms = 20;
long g_hang_after_ms = -1;
long g_end_after_ms = -1;
volatile sig_atomic_t g_again = 0;
volatile sig_atomic_t g_stop_beating = 0;

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

void put32(unsigned char* rec, int off, int32_t v) { memcpy(rec + off, &v, 4); }

int register_self() {
  unsigned char rec[320] = {};
  put32(rec, 0, getpid());
  put32(rec, 8, g_vsd);
  char* cmd = reinterpret_cast<char*>(rec + 32);
  (void)kiv_get_cmdline(getpid(), cmd, 255);
  const bool shell = !g_shell.empty();
  if (shell) snprintf(reinterpret_cast<char*>(rec + 288), 32, "test-%d", getpid() % 20);
  return kiv_rpc(static_cast<uint32_t>(g_type), shell ? g_shell.c_str() : nullptr, rec, sizeof rec, shell ? 0 : 1, 0);
}

void* watchdog(void*) {
  const int tid = static_cast<int>(syscall(SYS_gettid));
  unsigned char rec[320] = {};
  put32(rec, 0, tid);
  put32(rec, 4, getpid());
  const int32_t period = g_preset % 2 ? 4 : 5, window = g_preset % 2 ? 180 : 120;
  put32(rec, 12, period);
  put32(rec, 16, period);
  put32(rec, 20, window);
  const long start = now_ms();
  if (tid < KIV_ALIVE_PID_MAX) (void)kiv_rpc(3, nullptr, rec, sizeof rec, 1, 0);
  while (g_end_after_ms < 0 || now_ms() - start < g_end_after_ms) {
    if (!g_stop_beating && (g_hang_after_ms < 0 || now_ms() - start < g_hang_after_ms)) {
      if (tid >= KIV_ALIVE_PID_MAX) {
        (void)kiv_rpc(4, nullptr, rec, sizeof rec, 0, 1);
      } else if (kiv_sys_isreg_alive_info(tid)) {
        (void)kiv_sys_update_alive_seq(tid);
      } else {
        (void)kiv_rpc(3, nullptr, rec, sizeof rec, 1, 0);
      }
    }
    usleep(static_cast<useconds_t>(g_beat_ms) * 1000);
  }
  return nullptr;
}

void on_usr1(int) { g_again = 1; }
void on_usr2(int) { g_stop_beating = 1; }

}  // namespace

int main(int argc, char** argv) {
  bool db = false, cancel = false, exit_now = false;
  long time_value = -1;
  int c;
  while ((c = getopt(argc, argv, "rS:KV:dt:cw:b:H:E:nxo:")) != -1) {
    switch (c) {
      case 'r': g_type = 1; break;
      case 'S': g_type = 2; g_shell = optarg; break;
      case 'K': g_type = 2; break;
      case 'V': g_vsd = atoi(optarg); break;
      case 'd': db = true; break;
      case 't': time_value = atol(optarg); break;
      case 'c': cancel = true; break;
      case 'w': g_preset = atoi(optarg); break;
      case 'b': g_beat_ms = atoi(optarg); break;
      case 'H': g_hang_after_ms = atol(optarg); break;
      case 'E': g_end_after_ms = atol(optarg); break;
      case 'n': signal(SIGABRT, SIG_IGN); break;
      case 'x': exit_now = true; break;
      case 'o': g_out = optarg; break;
      default: return 2;
    }
  }
  // A hang ends in SIGABRT: no core files in the sandbox's file system.
  struct rlimit no_core = {0, 0};
  (void)setrlimit(RLIMIT_CORE, &no_core);
  signal(SIGUSR1, on_usr1);
  signal(SIGUSR2, on_usr2);
  note("start %ld", getpid());
  if (time_value >= 0) {
    unsigned char rec[320] = {};
    put32(rec, 0, getpid());
    put32(rec, 28, static_cast<int32_t>(time_value));
    snprintf(reinterpret_cast<char*>(rec + 288), 32, "test-%d", getpid() % 20);
    (void)kiv_rpc(1, nullptr, rec, sizeof rec, 0, 0);
  }
  if (g_type != 0) {
    char cmd[256] = {};
    if (db && kiv_get_cmdline(getpid(), cmd, 255) == 0) (void)kiv_db_create(g_vsd, getpid(), g_type == 1 ? 2 : 3, cmd);
    const long t0 = now_ms();
    const int rc = register_self();
    note("ack %ld", rc == 0 ? now_ms() - t0 : -1);
  }
  if (cancel) {
    unsigned char req[8] = {};
    put32(req, 4, getpid());
    note("cancel %ld", kiv_rpc(5, nullptr, req, sizeof req, 1, 0));
  }
  if (exit_now) return 3;
  if (g_preset != 0) {
    pthread_t t;
    pthread_create(&t, nullptr, watchdog, nullptr);
  }
  for (;;) {
    pause();
    if (g_again) {
      g_again = 0;
      note("again %ld", register_self());
    }
  }
}
