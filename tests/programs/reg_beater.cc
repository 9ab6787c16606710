// Heartbeats of a registered thread between two markers, for a test that
// traces the program's system calls:
//   reg_beater N
// A second thread plays the Manager's part in the alive table (maps it as
// master, sets its own bit), beats twice to settle, writes the marker
// "kiv-beat-begin" to descriptor -1, beats N times, writes "kiv-beat-end"
// to -1, and the program prints "tid=T bad=B seq=S".
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <thread>

#include "kiv_dbg.h"
#include "kiv_sys_alive.h"
#include "kiv_xtach.h"

namespace {

void marker(const char* text) {
  // A write to an invalid descriptor: a system call that does nothing and
  // stands out in the trace.
  const ssize_t r = write(-1, text, strlen(text));
  (void)r;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const long n = strtol(argv[1], nullptr, 10);
  for (int i = 0; i < KIV_DBG_LEVELS; ++i) g_kiv_dbg_level[i] = KIV_DBG_OFF;
  if (kiv_sys_init_alive_info(1) != 0) return 3;
  int tid = 0, bad = 0;
  std::thread beater([&] {
    tid = static_cast<int>(syscall(SYS_gettid));
    const int pid = getpid();
    if (kiv_sys_reg_alive_info(tid) != 0) ++bad;
    for (int i = 0; i < 2; ++i) {
      if (kiv_client_reset_thread_notify(pid, tid, 1, 1) != 0) ++bad;
    }
    marker("kiv-beat-begin");
    for (long i = 0; i < n; ++i) {
      if (kiv_client_reset_thread_notify(pid, tid, 1, 1) != 0) ++bad;
    }
    marker("kiv-beat-end");
  });
  beater.join();
  printf("tid=%d bad=%d seq=%d\n", tid, bad, kiv_sys_get_alive_seq(tid));
  return 0;
}
