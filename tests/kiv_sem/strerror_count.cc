// A counting strerror (see strerror_count.h). The executable's definition
// comes first in the lookup scope, so libkiv's calls bind to it; it hands
// the work to the C library's own.
#include "kiv_sem/strerror_count.h"

#include <dlfcn.h>

namespace {
int g_calls = 0;
}

extern "C" char* strerror(int e) {
  using fn = char* (*)(int);
  static const fn real = reinterpret_cast<fn>(dlsym(RTLD_NEXT, "strerror"));
  __atomic_add_fetch(&g_calls, 1, __ATOMIC_RELAXED);
  return real(e);
}

namespace kiv::test {

int strerror_calls() { return __atomic_load_n(&g_calls, __ATOMIC_RELAXED); }

}  // namespace kiv::test
