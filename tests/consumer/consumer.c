/* A client outside the tree, built against an installed libkiv (its headers, libkiv.pc or CMake
 * package, and shared library) as C99, C11 and C++17. In the tree it is the main unit of
 * c_headers_test, beside a unit per public header that includes it alone. */
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
#include <stddef.h>
#include <stdio.h>

KIV_STATIC_ASSERT(sizeof(kiv_msg) == KIV_MSG_HDR_LEN, "frame header is 268 bytes");
KIV_STATIC_ASSERT(offsetof(kiv_msg, msg_name) == 8, "msg_name at 8");
KIV_STATIC_ASSERT(offsetof(kiv_msg, msg_reserved) == 264, "msg_reserved at 264");

int main(void) {
  /* Exported data (every debug level starts off), functions, and results without device paths. */
  for (int i = 0; i < KIV_DBG_LEVELS; ++i)
    if (g_kiv_dbg_level[i] != KIV_DBG_OFF) return 1;
  if (kiv_is_open_pub_dbg() != 0 || kiv_os_set_fd_close_on_exec(-1) != -1 || safe_usleep(0) != 0) return 2;
  printf("libkiv client runs\n");
  return 0;
}
