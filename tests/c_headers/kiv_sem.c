/* kiv_sem.h compiles as C11 on its own: it includes what it needs. */
#include "kiv_sem.h"
