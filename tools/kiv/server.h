// The daemon's event loop: the control socket and its clients, the pidfds
// of registered processes and of the helpers the daemon starts, the signal
// pipe, and the deadlines of pending restarts and watchdog samples, all in
// one epoll set on one thread.
#pragma once

#include <stdint.h>
#include <sys/types.h>

#include <map>
#include <string>

#include "base/unique_fd.h"
#include "clock.h"
#include "frame.h"
#include "registry.h"
#include "restart_policy.h"
#include "stats.h"

namespace kiv::manager {

struct ServerConfig {
  TimeScale scale;
  RestartLimits limits;
  size_t max_clients = 1024;
  size_t max_per_uid = 64;    // connections of one uid other than root
  int64_t idle_ms = 30000;    // a connection silent this long is closed
  bool alive_table = true;  // the alive table is mapped in this process
};

class Server {
 public:
  explicit Server(const ServerConfig& cfg) : cfg_(cfg) {}

  // Binds and listens on the control socket, replacing a stale socket file,
  // and installs the handlers of SIGTERM and SIGINT. False (logged) on failure.
  bool start();
  // Whether the alive table is mapped in this process; set before run().
  void set_alive_table(bool on) { cfg_.alive_table = on; }
  // Takes over the registrations whose database files are still locked by
  // a living registrant.
  void adopt_database();
  // Serves until SIGTERM or SIGINT, then leaves the exit marker, removes the
  // socket and returns 0.
  int run();

 private:
  enum Tag : uint32_t { kListen = 1, kSignal, kConn, kProc, kHelper };
  struct Conn {
    kiv::unique_fd fd;
    pid_t peer = 0;  // SO_PEERCRED: the client as it connected
    uid_t uid = 0;
    int64_t last_ms = 0;  // last packet, or the connection
    bool refusal_logged = false;
  };
  struct Helper {
    kiv::unique_fd pidfd;
    pid_t pid = 0;
    std::string what;
  };

  bool add_fd(int fd, Tag tag, uint32_t events);
  void on_accept();
  bool admit(uid_t uid, int fd, int64_t now);
  void pause_accepting(int64_t now);
  void close_idle(int64_t now);
  void on_conn_tick(int64_t now);
  int64_t conn_deadline_ms() const;
  void note_stats(int64_t now);
  bool may_log(int64_t now);
  void refuse(Conn& c, const char* what, int32_t id, const char* why = "not a process of that user");
  void on_conn(int fd, uint32_t events);
  void close_conn(int fd);
  void handle(const Frame& f, Conn& c);
  void on_exit_action(const Frame& f, Conn& c);
  void on_time_value(const Frame& f, Conn& c);
  void on_thread(const Frame& f, bool beat, Conn& c);
  void on_cancel(const Frame& f, Conn& c);
  bool watch_process(ProcReg&& r, const char* how);
  void on_proc_exit(int fd);
  void after_exit(ProcReg&& reg, int64_t now, int64_t min_delay_ms);
  void restart(ProcReg&& reg, int64_t now);
  void add_helper(pid_t pid, std::string what);
  void on_helper_exit(int fd);
  void drop_threads_of(pid_t pid);
  void unmark_thread(const ThreadReg& t);
  void on_tick(int64_t now);
  int timeout_ms(int64_t now) const;
  void stop(int sig);

  ServerConfig cfg_;
  kiv::unique_fd epoll_;
  kiv::unique_fd listen_;
  kiv::unique_fd signal_rd_;
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
  std::map<int, Helper> helpers_;
  Registry reg_;
  uint8_t buf_[kMaxPacket];
};

}  // namespace kiv::manager
