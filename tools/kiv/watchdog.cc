// Hang test of a watched thread.
#include "watchdog.h"

namespace kiv::manager {

ThreadWatchState::ThreadWatchState(int64_t now_ms, int64_t period_ms, int64_t window_ms, int seq) {
  set_params(now_ms, period_ms, window_ms, seq);
}

void ThreadWatchState::set_params(int64_t now_ms, int64_t period_ms, int64_t window_ms, int seq) {
  period_ms_ = period_ms > 0 ? period_ms : 1;
  window_ms_ = window_ms > 0 ? window_ms : 1;
  next_sample_ms_ = now_ms + period_ms_;
  last_progress_ms_ = now_ms;
  last_seq_ = seq;
}

bool ThreadWatchState::sample(int64_t now_ms, int seq) {
  next_sample_ms_ = now_ms + period_ms_;
  if (seq >= 0 && seq != last_seq_) {
    last_seq_ = seq;
    last_progress_ms_ = now_ms;
    return false;
  }
  if (now_ms - last_progress_ms_ < window_ms_) return false;
  last_progress_ms_ = now_ms;
  return true;
}

}  // namespace kiv::manager
