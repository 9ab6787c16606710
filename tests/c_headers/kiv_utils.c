/* kiv_utils.h compiles as C11 on its own: it includes what it needs. */
#include "kiv_utils.h"
