// Crash-loop guard arithmetic.
#include "restart_policy.h"

namespace kiv::manager {

CrashLoopGuard::Decision CrashLoopGuard::exited(int64_t now_ms, const RestartLimits& limits,
                                                const TimeScale& scale) {
  Decision d;
  if (now_ms - started_ms_ >= scale.ms(limits.healthy_s)) {
    quick_deaths_ = 0;
  } else if (quick_deaths_ < 1000) {
    ++quick_deaths_;
  }
  const int64_t window = scale.ms(limits.window_s);
  while (!restarts_.empty() && now_ms - restarts_.front() >= window) restarts_.pop_front();
  d.recent = static_cast<int>(restarts_.size());
  if (d.recent >= limits.max_restarts) return d;
  d.restart = true;
  if (quick_deaths_ > limits.quick_restarts) {
    const int64_t cap = scale.ms(limits.backoff_cap_s);
    int64_t delay = scale.ms(limits.backoff_base_s);
    for (int i = limits.quick_restarts + 1; i < quick_deaths_ && delay < cap; ++i) delay *= 2;
    d.backoff_ms = delay < cap ? delay : cap;
  }
  return d;
}

void CrashLoopGuard::restarted(int64_t now_ms) {
  started_ms_ = now_ms;
  restarts_.push_back(now_ms);
  // Only the newest max_restarts + 1 entries can matter; bound the memory
  // whatever the configuration.
  while (restarts_.size() > 1024) restarts_.pop_front();
}

}  // namespace kiv::manager
