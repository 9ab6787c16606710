// The daemon's event loop: one epoll set on one thread for the control
// socket and its clients, the pidfds of registered processes and of the
// helpers the daemon starts, and the signal pipe; its timeout is the
// nearest deadline of the parts (restarts, watchdog samples, saves, idle
// connections). The work itself is done by the parts it holds.
#pragma once

#include <stdint.h>

#include "base/unique_fd.h"
#include "clock.h"
#include "control.h"
#include "events.h"
#include "proc_supervisor.h"
#include "registry.h"
#include "restart_policy.h"
#include "thread_supervisor.h"

namespace kiv::manager {

struct ServerConfig {
  TimeScale scale;
  RestartLimits limits;
  size_t max_clients = 1024;
  size_t max_per_uid = 64;    // connections of one uid other than root
  int64_t idle_ms = 30000;    // a connection silent this long is closed
  bool alive_table = true;  // the alive table is mapped in this process
};

// The starts of the daemon proper (launch.h).
Launcher daemon_launcher();

class Server {
 public:
  explicit Server(const ServerConfig& cfg);

  // Binds and listens on the control socket, replacing a stale socket file,
  // and installs the handlers of SIGTERM and SIGINT. False (logged) on failure.
  bool start();
  // Whether the alive table is mapped in this process; set before run().
  void set_alive_table(bool on) { threads_.set_alive_table(on); }
  // See ProcSupervisor.
  void restore_saved() { procs_.restore_saved(mono_ms()); }
  void adopt_database() { procs_.adopt_database(mono_ms()); }
  // Serves until SIGTERM or SIGINT, then leaves the exit marker, removes the
  // socket and returns 0.
  int run();

 private:
  int timeout_ms(int64_t now) const;
  void stop(int sig);

  ServerConfig cfg_;
  EventSet events_;
  kiv::unique_fd signal_rd_;
  Registry reg_;
  ThreadSupervisor threads_;
  ProcSupervisor procs_;
  ControlSocket control_;
};

}  // namespace kiv::manager
