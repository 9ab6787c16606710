// Monotonic time: CLOCK_MONOTONIC cannot fail with a valid pointer, hence
// no error path.
#include "base/mono_time.h"

namespace kiv {

struct timespec mono_now() {
  struct timespec ts;
  (void)clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts;
}

int64_t mono_ms() {
  const struct timespec ts = mono_now();
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace kiv
