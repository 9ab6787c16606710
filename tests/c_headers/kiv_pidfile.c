/* kiv_pidfile.h compiles as C11 on its own: it includes what it needs. */
#include "kiv_pidfile.h"
