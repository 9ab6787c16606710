// The daemon's tables: restart registrations of living processes, restarts
// waiting for their delay, time values that arrived before their
// registration, and watched threads. Pure bookkeeping with fixed caps, so
// that no client can make the daemon grow without bound.
#pragma once

#include <stdint.h>
#include <sys/types.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "base/unique_fd.h"
#include "creds.h"
#include "restart_policy.h"
#include "watchdog.h"

namespace kiv::manager {

enum class ExitKind {
  kRestart,  // start the command line again
  kShell,    // run a shell script named by the registrant
  kScript,   // run the program's restart script from the script directory
};
const char* exit_kind_text(ExitKind k);

struct ProcReg {
  pid_t pid = 0;
  int32_t vsd = 0;
  uint32_t type = 0;
  ExitKind kind = ExitKind::kRestart;
  std::string shell;    // kShell: the script
  std::string cmdline;  // executable path and arguments, blank-separated
  Credentials cred;     // the registrant's: every start runs under them
  uint32_t delay_s = 0; // time value: nominal seconds before a restart
  kiv::unique_fd pidfd; // open while the process is watched
  bool child = false;   // started by this daemon: waitid() gives the status
  bool db_file = false; // the registrant wrote its database file, which a withdrawal removes
  uint64_t start_ticks = 0;  // /proc start time, to confirm a foreign exit
  CrashLoopGuard guard;
  int64_t due_ms = -1;  // when a pending restart is due
};

struct ThreadReg {
  ThreadReg(int32_t t, int32_t p, int64_t now_ms, int64_t period_ms, int64_t window_ms, int seq)
      : tid(t), pid(p), state(now_ms, period_ms, window_ms, seq) {}
  int32_t tid;
  int32_t pid;
  kiv::unique_fd proc_fd;    // pidfd of the process
  kiv::unique_fd thread_fd;  // pidfd of the very thread
  bool in_table = false;     // id below the alive table's limit
  uid_t owner = 0;           // uid of the client that asked for the watch
  ThreadWatchState state;
};

class Registry {
 public:
  Registry(size_t max_procs = 4096, size_t max_threads = 8192, size_t max_time_values = 1024)
      : max_procs_(max_procs), max_threads_(max_threads), max_time_values_(max_time_values) {}

  // --- process registrations
  ProcReg* watched(pid_t pid);
  ProcReg* watched_by_fd(int pidfd);
  // Adds reg (whose pidfd must be open). When pid is already watched, the
  // existing entry takes the new action, command line, VSD and credentials
  // but keeps its descriptor, child status and crash-loop history, and
  // *replaced is set.
  // A time value kept for the pid is applied. Null when the table is full.
  ProcReg* watch(ProcReg&& reg, bool* replaced);
  // Removes the watched registration of pid (the process exited).
  std::optional<ProcReg> take(pid_t pid);
  // Keeps reg (pidfd closed) until due_ms.
  void schedule(ProcReg&& reg, int64_t due_ms);
  // Pending restarts due at now_ms, removed from the table.
  std::vector<ProcReg> take_due(int64_t now_ms);
  // The earliest pending due time, or -1.
  int64_t next_due_ms() const;
  // The registration of pid, watched or pending; null when none.
  const ProcReg* find(pid_t pid) const;
  // Drops the registration of pid, watched or pending. False when none.
  bool cancel(pid_t pid);
  // Sets the delay of pid's registration, or keeps it for a registration
  // that arrives later (the oldest kept value gives way when full), which
  // takes it only when from is 0 or the registrant's uid.
  void set_time_value(pid_t pid, uint32_t seconds, uid_t from = 0);
  size_t process_count() const { return watched_.size() + pending_.size(); }
  const std::map<pid_t, ProcReg>& all_watched() const { return watched_; }
  const std::vector<ProcReg>& all_pending() const { return pending_; }

  // --- watched threads
  ThreadReg* thread(int32_t tid);
  // Null when the table is full; replaces an entry of the same tid.
  ThreadReg* add_thread(ThreadReg&& t);
  bool remove_thread(int32_t tid);
  std::map<int32_t, ThreadReg>& threads() { return threads_; }
  // The earliest sample time of any thread, or -1.
  int64_t next_sample_ms() const;

 private:
  size_t max_procs_, max_threads_, max_time_values_;
  std::map<pid_t, ProcReg> watched_;
  std::map<int, pid_t> by_fd_;
  std::vector<ProcReg> pending_;
  struct KeptTime {
    uint32_t seconds;
    uid_t from;  // uid of the client that sent it
  };
  std::map<pid_t, KeptTime> time_values_;
  std::vector<pid_t> time_order_;  // arrival order of time_values_ keys
  std::map<int32_t, ThreadReg> threads_;
};

}  // namespace kiv::manager
