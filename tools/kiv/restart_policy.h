// The crash-loop guard of a restart registration: when to restart a
// program that exited, with what extra delay, and when to give up on it.
#pragma once

#include <stdint.h>

#include <deque>

#include "clock.h"

namespace kiv::manager {

// Nominal seconds (the daemon's time scale applies) and a count.
struct RestartLimits {
  int quick_restarts = 3;     // quick deaths in a row restarted at once
  double backoff_base_s = 1;  // delay after the next quick death
  double backoff_cap_s = 30;  // the doubling stops here
  double healthy_s = 30;      // a run this long clears the backoff
  double window_s = 60;       // restarts counted within this span...
  int max_restarts = 5;       // ...at most this many; one more stops restarting
};

class CrashLoopGuard {
 public:
  struct Decision {
    bool restart = false;
    int64_t backoff_ms = 0;  // extra delay before the restart
    int recent = 0;          // restarts within the window before this exit
  };

  // The watched instance began running at now_ms.
  void started(int64_t now_ms) { started_ms_ = now_ms; }

  // The instance exited at now_ms. The first quick_restarts quick deaths in
  // a row restart at once; each further death before a healthy run waits,
  // backoff_base_s first, doubled each time up to backoff_cap_s. A restart that would be one more
  // than max_restarts within window_s is refused.
  Decision exited(int64_t now_ms, const RestartLimits& limits, const TimeScale& scale);

  // A new instance was started at now_ms (counts towards the window).
  void restarted(int64_t now_ms);

  int quick_deaths() const { return quick_deaths_; }

 private:
  int64_t started_ms_ = 0;
  int quick_deaths_ = 0;
  std::deque<int64_t> restarts_;
};

}  // namespace kiv::manager
