// Monotonic time, unaffected by changes of the wall clock: the one reader
// of CLOCK_MONOTONIC for the library and the tools.
#pragma once

#include <stdint.h>
#include <time.h>

namespace kiv {

// The monotonic clock now.
struct timespec mono_now();

// Milliseconds of the monotonic clock.
int64_t mono_ms();

}  // namespace kiv
