// The control socket: accepting clients within the caps (connections in
// all, per user, descriptors held in reserve, idle time), receiving their
// packets, checking the frames, handing each request with its client's
// credentials to the supervisor it concerns, logging refusals at a bounded
// rate, and acknowledging.
#pragma once

#include <stdint.h>
#include <sys/types.h>

#include <map>

#include "events.h"
#include "frame.h"
#include "base/unique_fd.h"
#include "peer.h"
#include "proc_supervisor.h"
#include "stats.h"
#include "thread_supervisor.h"

namespace kiv::manager {

// Packets of one connection taken per wake-up: fairness between busy
// clients, and one receive call for a burst.
constexpr int kPacketsPerWakeup = 32;

struct ControlLimits {
  size_t max_clients = 1024;
  size_t max_per_uid = 64;  // connections of one uid other than root
  int64_t idle_ms = 30000;  // a connection silent this long is closed
};

class ControlSocket {
 public:
  ControlSocket(EventSet& events, ProcSupervisor& procs, ThreadSupervisor& threads, const ControlLimits& limits)
      : events_(events), procs_(procs), threads_(threads), limits_(limits) {}

  // Binds and listens, replacing a stale socket file. False (logged).
  bool open();
  // Closes the socket and every connection, and removes the socket and
  // statistics files.
  void close();
  void on_accept();
  void on_conn(int fd, uint32_t events);
  // Resumes accepting, closes idle connections, writes the statistics.
  void tick(int64_t now);
  // The next time tick() has work, or -1.
  int64_t deadline_ms() const;

 private:
  struct Conn {
    kiv::unique_fd fd;
    Peer peer;
    int64_t last_ms = 0;  // last packet, or the connection
    bool refusal_logged = false;
  };

  bool admit(uid_t uid, int fd, int64_t now);
  void pause_accepting(int64_t now);
  void close_idle(int64_t now);
  bool may_log(int64_t now);
  void refuse(Conn& c, const Refusal& r);
  void close_conn(int fd);
  void handle(const Frame& f, Conn& c);

  EventSet& events_;
  ProcSupervisor& procs_;
  ThreadSupervisor& threads_;
  ControlLimits limits_;
  kiv::unique_fd listen_;
  std::map<int, Conn> conns_;
  std::map<uid_t, size_t> per_uid_;  // open connections by uid
  int fd_limit_ = 1024;              // RLIMIT_NOFILE at start
  int64_t accept_resume_ms_ = -1;    // accepting paused until then
  int64_t next_idle_check_ms_ = -1;
  Stats stats_;
  bool stats_dirty_ = false;
  int64_t stats_written_ms_ = -1;
  int64_t log_window_ms_ = 0;  // rate limit of lines a client can cause
  int log_lines_ = 0;
  uint64_t log_dropped_ = 0;
  uint8_t buf_[kPacketsPerWakeup][kMaxPacket];  // one batch of packets
};

}  // namespace kiv::manager
