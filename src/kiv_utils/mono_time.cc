// Monotonic time, unaffected by changes of the wall clock.
#include <time.h>

#include "kiv_utils.h"

extern "C" int64_t kiv_get_time(void) {
  struct timespec ts;
  (void)clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec;
}

extern "C" struct timeval* kiv_get_timeval(struct timeval* tv) {
  if (tv == nullptr) return nullptr;
  struct timespec ts;
  (void)clock_gettime(CLOCK_MONOTONIC, &ts);
  tv->tv_sec = ts.tv_sec;
  tv->tv_usec = ts.tv_nsec / 1000;
  return tv;
}
