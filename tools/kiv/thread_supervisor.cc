// Thread watches: registration, heartbeat, withdrawal and sampling.
#include "thread_supervisor.h"

#include <signal.h>
#include <stdio.h>
#include <unistd.h>

#include "kiv_sys_alive.h"
#include "log.h"
#include "procs.h"

namespace kiv::manager {

namespace {

constexpr int32_t kMaxWatchSeconds = 86400;
constexpr int32_t kDefaultPeriod = 5;
constexpr int32_t kDefaultWindow = 120;

bool thread_of(pid_t pid, int32_t tid) {
  char path[64];
  snprintf(path, sizeof path, "/proc/%d/task/%d", pid, tid);
  return access(path, F_OK) == 0;
}

int32_t clamp_seconds(int32_t v, int32_t fallback) {
  if (v <= 0) return fallback;
  return v > kMaxWatchSeconds ? kMaxWatchSeconds : v;
}

}  // namespace

Refusal ThreadSupervisor::on_thread(const Frame& f, bool beat, const Peer& c, int64_t now) {
  const ThreadNotify t = decode_thread_notify(f.payload);
  if (t.tid <= 0 || t.pid <= 0) {
    KIVD_EVENT("thread watch request refused: tid %d, pid %d", t.tid, t.pid);
    return {};
  }
  ThreadReg* old = reg_.thread(t.tid);
  // A heartbeat for a watch of the same process and user feeds it without
  // a look at the thread: one whose thread has ended is dropped by its next
  // sample (tick), and the heartbeat after that starts a new watch.
  if (beat && old != nullptr && old->pid == t.pid && (c.uid == 0 || old->owner == c.uid)) {
    old->state.beat(now);
    return {};
  }
  // Another user's watch is neither fed nor replaced while its thread lives.
  if (c.uid != 0 && old != nullptr && old->owner != c.uid && !pidfd_ended(old->thread_fd.get())) {
    return {beat ? "heartbeat" : "thread watch", t.tid};
  }
  if (old != nullptr && (old->pid != t.pid || pidfd_ended(old->thread_fd.get()))) {
    unmark(*old);
    reg_.remove_thread(t.tid);
    old = nullptr;
  }
  const int32_t period = clamp_seconds(t.period, kDefaultPeriod);
  const int32_t window = clamp_seconds(t.window, kDefaultWindow);
  const int64_t period_ms = scale_.ms(period) > 0 ? scale_.ms(period) : 1;
  const int64_t window_ms = scale_.ms(window) > 0 ? scale_.ms(window) : 1;
  ThreadReg n(t.tid, t.pid, now, period_ms, window_ms, -1);
  n.owner = c.uid;
  if (old != nullptr) {
    n.proc_fd = std::move(old->proc_fd);
    n.thread_fd = std::move(old->thread_fd);
  } else {
    n.proc_fd.reset(open_pidfd(t.pid));
    n.thread_fd.reset(open_pidfd(t.tid, true));
    // Both pidfds are open and still show the tasks alive, so the ids
    // checked in /proc in between are these tasks and no reused ones.
    Credentials pc;
    const bool ok = n.proc_fd.ok() && n.thread_fd.ok() && thread_of(t.pid, t.tid) &&
                    read_credentials(t.pid, n.proc_fd.get(), &pc) && !pidfd_ended(n.thread_fd.get());
    if (!ok) {
      KIVD_EVENT("thread %d of pid %d: watch refused (no such thread in that process)", t.tid, t.pid);
      return {};
    }
    if (c.uid != 0 && pc.uid != c.uid) return {beat ? "heartbeat" : "thread watch", t.pid};
  }
  n.in_table = alive_table_ && t.tid < kAliveIdLimit;
  if (n.in_table) {
    (void)kiv_sys_reg_alive_info(t.tid);
    n.state.set_params(now, period_ms, window_ms, kiv_sys_get_alive_seq(t.tid));
  }
  const bool again = old != nullptr;
  if (reg_.add_thread(std::move(n)) == nullptr) {
    KIVD_ERROR("thread %d of pid %d: watch refused, table full", t.tid, t.pid);
    if (t.tid < kAliveIdLimit && alive_table_) (void)kiv_sys_unreg_alive_info(t.tid);
    return {};
  }
  KIVD_EVENT("thread %d of pid %d %s: sampled every %d s, hung after %d s without %s", t.tid, t.pid,
             again ? "watched again" : "watched", period, window,
             t.tid < kAliveIdLimit && alive_table_ ? "progress" : "a heartbeat");
  return {};
}

void ThreadSupervisor::unmark(const ThreadReg& t) {
  if (t.in_table) (void)kiv_sys_unreg_alive_info(t.tid);
}

Refusal ThreadSupervisor::on_cancel(int32_t tid, const Peer& conn) {
  const bool root = conn.uid == 0;
  ThreadReg* t = reg_.thread(tid);
  if (t != nullptr && !root && t->owner != conn.uid && !pidfd_ended(t->thread_fd.get())) {
    return {"thread withdrawal", tid};
  }
  if (t != nullptr) {
    unmark(*t);
    reg_.remove_thread(tid);
    KIVD_EVENT("thread %d: watch withdrawn", tid);
    return {};
  }
  // A mark without a watch is cleared for root, or for the thread's own
  // user.
  if (alive_table_ && tid > 0 && tid < kAliveIdLimit && (root || owner_check(conn.uid, tid, true) == Owner::kYes)) {
    (void)kiv_sys_unreg_alive_info(tid);
  }
  KIVD_EVENT("thread %d: withdrawal of no watch", tid);
  return {};
}

void ThreadSupervisor::process_ended(pid_t pid) {
  auto& threads = reg_.threads();
  for (auto it = threads.begin(); it != threads.end();) {
    if (it->second.pid == pid && pidfd_ended(it->second.proc_fd.get())) {
      unmark(it->second);
      KIVD_EVENT("thread %d of pid %d: process ended, no longer watched", it->first, pid);
      it = threads.erase(it);
    } else {
      ++it;
    }
  }
}

void ThreadSupervisor::tick(int64_t now) {
  auto& threads = reg_.threads();
  for (auto it = threads.begin(); it != threads.end();) {
    ThreadReg& t = it->second;
    if (t.state.next_sample_ms() > now) {
      ++it;
      continue;
    }
    if (pidfd_ended(t.thread_fd.get()) || pidfd_ended(t.proc_fd.get())) {
      // Forgetting it now means a later thread with the recycled id
      // starts with a clean entry instead of inheriting this one's blame.
      KIVD_EVENT("thread %d of pid %d is gone, no longer watched", t.tid, t.pid);
      unmark(t);
      it = threads.erase(it);
      continue;
    }
    const int64_t stalled = t.state.stalled_ms(now);
    if (t.state.sample(now, t.in_table ? kiv_sys_get_alive_seq(t.tid) : -1)) {
      KIVD_EVENT("thread %d of pid %d hung: no progress for %lld ms (window %lld ms), sending SIGABRT", t.tid,
                 t.pid, static_cast<long long>(stalled), static_cast<long long>(t.state.window_ms()));
      // A watch asked for by a user is carried out only while the process
      // is still that user's: it may have changed its uid since.
      Credentials now_cred;
      if (t.owner != 0 && (!read_credentials(t.pid, t.proc_fd.get(), &now_cred) || now_cred.uid != t.owner)) {
        KIVD_EVENT("thread %d of pid %d: no longer of uid %u, SIGABRT not sent", t.tid, t.pid, t.owner);
      } else if (pidfd_signal(t.thread_fd.get(), SIGABRT, true) != 0) {
        KIVD_ERROR("thread %d of pid %d: SIGABRT not sent: %m", t.tid, t.pid);
      }
    }
    ++it;
  }
}

}  // namespace kiv::manager
