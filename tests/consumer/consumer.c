/* A client outside the tree, built against an installed libkiv (its headers,
 * libkiv.pc or CMake package, and shared library) as C99, C11 and C++17. */
#include <kiv_comp_config.h>
#include <kiv_dbg.h>
#include <kiv_os.h>
#include <kiv_pidfile.h>
#include <kiv_rpc.h>
#include <kiv_sem.h>
#include <kiv_sys_alive.h>
#include <kiv_utils.h>
#include <kiv_vsd.h>
#include <kiv_xtach.h>
#include <stdio.h>

int main(void) {
  /* Exported data, exported functions, and results without device paths. */
  if (g_kiv_dbg_level[KIV_DBG_LIB] != KIV_DBG_OFF || kiv_is_open_pub_dbg() != 0) return 1;
  if (kiv_os_set_fd_close_on_exec(-1) != -1 || safe_usleep(0) != 0) return 2;
  printf("libkiv client runs\n");
  return 0;
}
