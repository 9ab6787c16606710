// The hang test of one watched thread: progress is a changed sequence byte
// of the alive table, or a heartbeat message for ids outside the table; a
// thread without progress for its window is hung.
#pragma once

#include <stdint.h>

namespace kiv::manager {

class ThreadWatchState {
 public:
  // period_ms: time between samples; window_ms: time without progress that
  // makes a hang; seq: the sequence byte at registration.
  ThreadWatchState(int64_t now_ms, int64_t period_ms, int64_t window_ms, int seq);

  void set_params(int64_t now_ms, int64_t period_ms, int64_t window_ms, int seq);

  int64_t next_sample_ms() const { return next_sample_ms_; }
  int64_t period_ms() const { return period_ms_; }
  int64_t window_ms() const { return window_ms_; }
  // Time since the last progress.
  int64_t stalled_ms(int64_t now_ms) const { return now_ms - last_progress_ms_; }

  // A sample of a table thread's sequence byte (seq < 0: no table, judge
  // by heartbeats only). Returns true when the thread is hung; the window
  // then starts again, so a thread that stays stuck is reported once per
  // window, not once per sample.
  bool sample(int64_t now_ms, int seq);

  // A heartbeat message arrived.
  void beat(int64_t now_ms) { last_progress_ms_ = now_ms; }

 private:
  int64_t period_ms_;
  int64_t window_ms_;
  int64_t next_sample_ms_;
  int64_t last_progress_ms_;
  int last_seq_;
};

}  // namespace kiv::manager
