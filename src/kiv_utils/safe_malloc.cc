// Allocation for callers that cannot handle failure: it waits for memory.
#include <stdlib.h>

#include "kiv_utils.h"

extern "C" void* safe_malloc(size_t n) {
  for (;;) {
    void* p = calloc(n, 1);
    if (p != nullptr) return p;
    (void)safe_sleep(5);
  }
}
