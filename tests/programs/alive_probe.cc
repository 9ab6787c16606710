// Uses the alive table from a process of its own, with every debug level
// on, and prints what it saw, one "name=value" line per step:
//   nomap ID        per-entry calls before the table is mapped
//   client ID N     maps as client, reads ID, advances its sequence N times
//   master ID HOW   maps first through isreg ("isreg") or as master
//                   ("init"), then as master twice, registering ID between
//   isreg ID        isreg, init, isreg (for a user who may not chmod)
//   nosyscall ID N  N heartbeats of ID under seccomp strict mode
//   threads ID N    eight threads map the table at once (one as
//                   master), then each registers ID + its index and beats
//                   N times
#include <linux/seccomp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <thread>
#include <vector>

#include "kiv_dbg.h"
#include "kiv_sys_alive.h"

namespace {

// Whether every call of every thread succeeded.
bool threads_share_the_table(int id, long n) {
  for (int i = 0; i < KIV_DBG_LEVELS; ++i) g_kiv_dbg_level[i] = KIV_DBG_OFF;
  constexpr int kThreads = 8;
  std::vector<std::thread> threads;
  int bad[kThreads] = {};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, id, n, &bad] {
      const int me = id + t;
      // Half map through isreg, as a heartbeat does on first use.
      if (t % 2 == 1) {
        (void)kiv_sys_isreg_alive_info(me);
      } else if (kiv_sys_init_alive_info(t == kThreads - 2 ? 1 : 0) != 0) {
        ++bad[t];
      }
      if (kiv_sys_reg_alive_info(me) != 0) ++bad[t];
      for (long i = 0; i < n; ++i) {
        if (kiv_sys_update_alive_seq(me) != 0) ++bad[t];
        (void)kiv_sys_isreg_alive_info(me);
      }
      const int seq = kiv_sys_get_alive_seq(me);
      if (seq < 0 || seq > 255) ++bad[t];
    });
  }
  int total = 0;
  for (int t = 0; t < kThreads; ++t) {
    threads[static_cast<size_t>(t)].join();
    total += bad[t];
  }
  return total == 0;
}

// Strict mode allows read, write, exit and sigreturn only: any other system
// call kills the process with SIGKILL.
[[noreturn]] void heartbeats_without_syscalls(int id, long n) {
  fflush(stdout);
  for (int i = 0; i < KIV_DBG_LEVELS; ++i) g_kiv_dbg_level[i] = KIV_DBG_OFF;
  // Bind the library's symbols before the filter is on.
  (void)kiv_sys_isreg_alive_info(id);
  (void)kiv_sys_update_alive_seq(id);
  if (prctl(PR_SET_SECCOMP, SECCOMP_MODE_STRICT) != 0) _exit(3);
  int bad = 0;
  for (long i = 0; i < n; ++i) {
    if (kiv_sys_isreg_alive_info(id) != 1) ++bad;
    if (kiv_sys_update_alive_seq(id) != 0) ++bad;
  }
  const char* msg = bad == 0 ? "beats=ok\n" : "beats=bad\n";
  (void)write(1, msg, strlen(msg));
  syscall(SYS_exit, 0);
  for (;;) {
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  setvbuf(stdout, nullptr, _IOLBF, 0);
  for (int i = 0; i < KIV_DBG_LEVELS; ++i) g_kiv_dbg_level[i] = 0;
  const char* mode = argv[1];
  const int id = atoi(argv[2]);
  if (strcmp(mode, "nomap") == 0) {
    printf("reg=%d\n", kiv_sys_reg_alive_info(id));
    printf("unreg=%d\n", kiv_sys_unreg_alive_info(id));
    printf("update=%d\n", kiv_sys_update_alive_seq(id));
    printf("get=%d\n", kiv_sys_get_alive_seq(id));
    printf("mapped=%d\n", g_kiv_alive_info.table != nullptr);
  } else if (strcmp(mode, "client") == 0 && argc == 4) {
    printf("init=%d\n", kiv_sys_init_alive_info(0));
    printf("isreg=%d\n", kiv_sys_isreg_alive_info(id));
    for (long n = strtol(argv[3], nullptr, 10); n > 0; --n) (void)kiv_sys_update_alive_seq(id);
    printf("seq=%d\n", kiv_sys_get_alive_seq(id));
  } else if (strcmp(mode, "master") == 0 && argc == 4) {
    if (strcmp(argv[3], "isreg") == 0) printf("before=%d\n", kiv_sys_isreg_alive_info(id));
    printf("init=%d\n", kiv_sys_init_alive_info(1));
    printf("after=%d\n", kiv_sys_isreg_alive_info(id));
    printf("table_size=%u\n", g_kiv_alive_info.table->table_size);
    printf("reg=%d\n", kiv_sys_reg_alive_info(id));
    printf("second=%d\n", kiv_sys_init_alive_info(1));
    printf("kept=%d\n", kiv_sys_isreg_alive_info(id));
  } else if (strcmp(mode, "isreg") == 0) {
    printf("isreg=%d\n", kiv_sys_isreg_alive_info(id));
    printf("init=%d\n", kiv_sys_init_alive_info(0));
    printf("isreg=%d\n", kiv_sys_isreg_alive_info(id));
  } else if (strcmp(mode, "threads") == 0 && argc == 4) {
    printf("threads=%s\n", threads_share_the_table(id, strtol(argv[3], nullptr, 10)) ? "ok" : "bad");
  } else if (strcmp(mode, "nosyscall") == 0 && argc == 4) {
    if (kiv_sys_init_alive_info(0) != 0) return 4;
    heartbeats_without_syscalls(id, strtol(argv[3], nullptr, 10));
  } else {
    return 2;
  }
  return 0;
}
