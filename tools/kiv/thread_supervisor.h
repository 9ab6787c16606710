// The watchdog side of the daemon: thread watch requests and heartbeats,
// their withdrawal, and the periodic samples that find a hung thread and
// abort it. Plain handlers over the registry; the caller gives the time.
#pragma once

#include <stdint.h>
#include <sys/types.h>

#include "clock.h"
#include "frame.h"
#include "peer.h"
#include "registry.h"

namespace kiv::manager {

class ThreadSupervisor {
 public:
  ThreadSupervisor(Registry& reg, const TimeScale& scale, bool alive_table)
      : reg_(reg), scale_(scale), alive_table_(alive_table) {}

  // Whether the alive table is mapped in this process.
  void set_alive_table(bool on) { alive_table_ = on; }
  // A watch request (type 3), or with beat a heartbeat (type 4).
  Refusal on_thread(const Frame& f, bool beat, const Peer& p, int64_t now);
  // Withdrawal of the watch of thread tid.
  Refusal on_cancel(int32_t tid, const Peer& p);
  // Process pid ended: its threads' watches go with it.
  void process_ended(pid_t pid);
  // Samples the threads that are due; aborts those that hung.
  void tick(int64_t now);
  // The next sample time, or -1.
  int64_t deadline_ms() const { return reg_.next_sample_ms(); }

 private:
  void unmark(const ThreadReg& t);

  Registry& reg_;
  TimeScale scale_;
  bool alive_table_;
};

}  // namespace kiv::manager
