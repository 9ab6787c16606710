// The debug levels: static data, off until configured.
#include "kiv_dbg.h"

extern "C" {
int g_kiv_dbg_level[KIV_DBG_LEVELS] = {KIV_DBG_OFF, KIV_DBG_OFF, KIV_DBG_OFF};
}
