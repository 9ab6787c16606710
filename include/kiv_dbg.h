/* Debug levels of libkiv and the configuration file that sets them. */
#ifndef KIV_DBG_H
#define KIV_DBG_H

#include "kiv_comp_config.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Indexes into g_kiv_dbg_level. */
#define KIV_DBG_PUB 0   /* public switch, queried by kiv_is_open_pub_dbg */
#define KIV_DBG_ALIVE 1 /* messages of the alive table's per-entry operations */
#define KIV_DBG_LIB 2   /* every other tagged message of the library */
#define KIV_DBG_LEVELS 3
/* The value that switches a level off; every other value switches it on. */
#define KIV_DBG_OFF 4

/* The three levels, initially all KIV_DBG_OFF. Any thread may write them. */
KIV_API extern int g_kiv_dbg_level[KIV_DBG_LEVELS];

/* Configuration keys of the three levels, then "invlaid" for a bad index. */
KIV_API extern const char* kiv_dbg_lvl_str_pre[KIV_DBG_LEVELS + 1];

/* Re-reads the levels from $DATA_TALU_DIR/qn_utils/qn_utils_dbg_cfg.txt.
 * Lines "g_kiv_pub_dbg_level N", "g_kiv_alive_dbg_level N" and
 * "g_kiv_lib_dbg_level N" set a level; other lines and absent keys change
 * nothing. Returns 0 always. */
KIV_API int kiv_parse_dbg_file(void);

/* Returns 1 when the public level is on (not KIV_DBG_OFF), else 0. */
KIV_API int kiv_is_open_pub_dbg(void);

#ifdef __cplusplus
}
#endif

#endif
