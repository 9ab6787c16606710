// Monotonic time, unaffected by changes of the wall clock.
#include "base/mono_time.h"
#include "kiv_utils.h"

extern "C" int64_t kiv_get_time(void) { return kiv::mono_now().tv_sec; }

extern "C" struct timeval* kiv_get_timeval(struct timeval* tv) {
  if (tv == nullptr) return nullptr;
  const struct timespec ts = kiv::mono_now();
  tv->tv_sec = ts.tv_sec;
  tv->tv_usec = ts.tv_nsec / 1000;
  return tv;
}
