/* The public headers from C: the frame layout and the debug levels' start (CMake adds a unit per
 * header that includes it alone). */
#include <stddef.h>

#include "kiv_comp_config.h"
#include "kiv_dbg.h"
#include "kiv_rpc.h"

KIV_STATIC_ASSERT(sizeof(kiv_msg) == KIV_MSG_HDR_LEN, "frame header is 268 bytes");
KIV_STATIC_ASSERT(offsetof(kiv_msg, msg_name) == 8, "msg_name at 8");
KIV_STATIC_ASSERT(offsetof(kiv_msg, msg_reserved) == 264, "msg_reserved at 264");

int main(void) {
  for (int i = 0; i < KIV_DBG_LEVELS; ++i)
    if (g_kiv_dbg_level[i] != KIV_DBG_OFF) return 1 + i; /* level i does not start off */
  return 0;
}
