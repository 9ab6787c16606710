// Monotonic time and the scale applied to every nominal duration of the
// daemon (watchdog windows, restart delays, crash-loop limits), so that a
// test can run minutes of policy in a fraction of a second.
#pragma once

#include <stdint.h>

#include "base/mono_time.h"

namespace kiv::manager {

// Milliseconds of CLOCK_MONOTONIC: wall-clock changes do not move it.
using ::kiv::mono_ms;

class TimeScale {
 public:
  explicit TimeScale(double factor = 1.0) : factor_(factor) {}
  double factor() const { return factor_; }
  // Nominal seconds to scaled milliseconds, rounded; 0 for zero, negative
  // or not-a-number input; saturates at about 31 years.
  int64_t ms(double seconds) const;

 private:
  double factor_;
};

}  // namespace kiv::manager
