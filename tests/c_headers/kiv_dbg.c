/* kiv_dbg.h compiles as C11 on its own: it includes what it needs. */
#include "kiv_dbg.h"
