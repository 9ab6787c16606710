/* kiv_comp_config.h compiles as C11 on its own: it includes what it needs. */
#include "kiv_comp_config.h"

/* Macros only: its static assertion is usable from C. */
KIV_STATIC_ASSERT(sizeof(KIV_STATUS_FILE) > 1, "the status marker has a path");
