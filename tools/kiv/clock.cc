// The time scale.
#include "clock.h"

#include <math.h>
#include <time.h>

namespace kiv::manager {

namespace {
constexpr double kMaxMs = 1e12;
}

int64_t TimeScale::ms(double seconds) const {
  const double v = seconds * 1000.0 * factor_;
  if (!(v > 0)) return 0;  // also catches NaN
  if (v >= kMaxMs) return static_cast<int64_t>(kMaxMs);
  return static_cast<int64_t>(llround(v));
}

}  // namespace kiv::manager
