// The restart side of the daemon: registrations of exit actions (from
// requests, from the saved state of an earlier daemon, from the database
// files of living registrants), their processes' exits, the restarts and
// scripts that follow with the crash-loop guard's backoff, and the helper
// children it starts and reaps. Plain handlers over the registry: the
// caller gives the time, and the starts go through a launcher.
#pragma once

#include <stdint.h>
#include <sys/types.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "clock.h"
#include "creds.h"
#include "events.h"
#include "frame.h"
#include "base/unique_fd.h"
#include "peer.h"
#include "registry.h"
#include "restart_policy.h"

namespace kiv::manager {

class ThreadSupervisor;

// How an exit action is carried out. Each start returns at once with a
// child of the daemon (pid), or -1 and errno; none may wait or sleep.
struct Launcher {
  pid_t (*program)(const std::string& cmdline, int32_t vsd, const Credentials& as);
  pid_t (*script)(const std::string& cmdline, int32_t vsd, const Credentials& as);
  pid_t (*shell)(const std::string& script, const Credentials& as);
};

class ProcSupervisor {
 public:
  // threads, when given, drops the watches of the threads of a process
  // that ended.
  ProcSupervisor(Registry& reg, EventSet& events, const TimeScale& scale, const RestartLimits& limits,
                 const Launcher& launch, ThreadSupervisor* threads)
      : reg_(reg), events_(events), scale_(scale), limits_(limits), launch_(launch), threads_(threads) {}

  // Takes back the registrations and pending restarts the previous daemon
  // saved: each registered process still running is watched again, one
  // that ended while no daemon watched it gets its exit action now.
  void restore_saved(int64_t now);
  // Takes over the registrations whose database files are still locked by
  // a living registrant.
  void adopt_database(int64_t now);

  // Requests: an exit action (types 1 and 2), a time value, a withdrawal.
  Refusal on_exit_action(const Frame& f, const Peer& p, int64_t now);
  Refusal on_time_value(const Frame& f, const Peer& p);
  Refusal on_cancel(pid_t pid, const Peer& p);

  // Watches r's process (r.pidfd open); false (logged) when it cannot.
  bool watch_process(ProcReg&& r, const char* how, int64_t now);
  // The pidfd of a watched process reported an event.
  void on_exit(int pidfd, int64_t now);
  // The pidfd of a helper reported an event.
  void on_helper_exit(int pidfd);
  // Starts the restarts that are due and reaps what must be polled.
  void tick(int64_t now);
  // Saves the registrations when they changed and the last save is old
  // enough; with force, whenever they changed.
  void save_if_due(int64_t now, bool force = false);
  // The next time tick() or save_if_due() has work, or -1.
  int64_t deadline_ms(int64_t now) const;

 private:
  struct Helper {
    kiv::unique_fd pidfd;
    pid_t pid = 0;
    std::string what;
  };

  void after_exit(ProcReg&& reg, int64_t now, int64_t min_delay_ms);
  void restart(ProcReg&& reg, int64_t now);
  bool withdraw(pid_t pid);
  void add_helper(pid_t pid, std::string what);
  void keep_reaping(kiv::unique_fd pidfd, pid_t pid, std::string what);
  void reap_orphans();

  Registry& reg_;
  EventSet& events_;
  TimeScale scale_;
  RestartLimits limits_;
  Launcher launch_;
  ThreadSupervisor* threads_;
  std::map<int, Helper> helpers_;
  std::vector<pid_t> orphans_;  // children without a pidfd, polled until reaped
  const pid_t self_ = getpid();  // once: the daemon is made after main() detached
  bool dirty_ = false;          // registrations changed since the last save
  int64_t saved_ms_ = 0;
};

}  // namespace kiv::manager
