// Modes of kiv_test_program for the base-module tests.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "kiv_dbg.h"
#include "kiv_sys_alive.h"

// Says it runs past exec (a byte on descriptor 3), then waits to be killed: seen through /proc.
int mode_utils_sleeper(int, char**) {
  if (write(3, "r", 1) != 1) return 1;
  close(3);
  for (;;) pause();
}

// The alive table from a fresh process, debug levels on, one "step=result" line per call:
//   nomap ID: per-entry calls unmapped; client ID: map as client, beat; master ID isreg|init: map
//   through isreg or as master, then as master twice around a registration; threads ID: eight
//   threads map at once, register and beat.
int mode_alive_probe(int argc, char** argv) {
  if (argc < 3) return 2;
  setvbuf(stdout, nullptr, _IOLBF, 0);
  for (int i = 0; i < KIV_DBG_LEVELS; ++i) g_kiv_dbg_level[i] = 0;
  const std::string mode = argv[1];
  const int id = atoi(argv[2]);
  if (mode == "nomap") {
    printf("reg=%d\n", kiv_sys_reg_alive_info(id));
    printf("unreg=%d\n", kiv_sys_unreg_alive_info(id));
    printf("update=%d\n", kiv_sys_update_alive_seq(id));
    printf("get=%d\n", kiv_sys_get_alive_seq(id));
  } else if (mode == "client") {
    printf("init=%d\n", kiv_sys_init_alive_info(0));
    printf("update=%d\n", kiv_sys_update_alive_seq(id));
  } else if (mode == "master" && argc == 4) {
    if (strcmp(argv[3], "isreg") == 0) printf("before=%d\n", kiv_sys_isreg_alive_info(id));
    printf("init=%d\n", kiv_sys_init_alive_info(1));
    printf("after=%d\n", kiv_sys_isreg_alive_info(id));
    printf("reg=%d\n", kiv_sys_reg_alive_info(id));
    printf("second=%d\n", kiv_sys_init_alive_info(1));
    printf("kept=%d\n", kiv_sys_isreg_alive_info(id));
  } else if (mode == "threads") {
    for (int i = 0; i < KIV_DBG_LEVELS; ++i) g_kiv_dbg_level[i] = KIV_DBG_OFF;
    int bad[8] = {};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
      threads.emplace_back([t, id, &bad] {
        // Half map through isreg, as a heartbeat does on first use.
        if (t % 2 == 1) (void)kiv_sys_isreg_alive_info(id + t);
        if (t % 2 == 0 && kiv_sys_init_alive_info(t == 6) != 0) ++bad[t];
        bad[t] += kiv_sys_reg_alive_info(id + t) != 0;
        // The master's clear may wipe others' entries: only the calls' results count.
        for (int i = 0; i < 2000; ++i) bad[t] += kiv_sys_update_alive_seq(id + t) + (kiv_sys_isreg_alive_info(id + t) < 0);
      });
    }
    int total = 0;
    for (int t = 0; t < 8; ++t) {
      threads[static_cast<size_t>(t)].join();
      total += bad[t];
    }
    printf("threads=%s\n", total == 0 ? "ok" : "bad");
  } else {
    return 2;
  }
  return 0;
}
