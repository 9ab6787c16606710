/* The public headers from C: the frame layout and the debug levels' start. */
#include <stddef.h>
#include <stdio.h>

#include "kiv_dbg.h"
#include "kiv_rpc.h"

_Static_assert(sizeof(kiv_msg) == KIV_MSG_HDR_LEN, "frame header is 268 bytes");
_Static_assert(offsetof(kiv_msg, msg_name) == 8, "msg_name at 8");
_Static_assert(offsetof(kiv_msg, msg_reserved) == 264, "msg_reserved at 264");

int main(void) {
  /* The levels start off. */
  for (int i = 0; i < KIV_DBG_LEVELS; ++i) {
    if (g_kiv_dbg_level[i] != KIV_DBG_OFF) {
      printf("level %d is %d\n", i, g_kiv_dbg_level[i]);
      return 1;
    }
  }
  return 0;
}
