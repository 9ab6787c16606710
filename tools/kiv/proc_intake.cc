// Where process registrations come from: the saved state of an earlier
// daemon, the database files of living registrants, and client requests.
#include "proc_supervisor.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/epoll.h>
#include <unistd.h>

#include "base/proc.h"
#include "base/vsd_paths.h"
#include "db.h"
#include "log.h"
#include "procs.h"
#include "state.h"

namespace kiv::manager {

namespace {

constexpr uint32_t kMaxTimeValue = 600;  // seconds of delay a time value may ask

}  // namespace

void ProcSupervisor::restore_saved(int64_t now) {
  for (ProcReg& r : load_registrations(kStatePath)) {
    if (r.due_ms >= 0) {
      KIVD_EVENT("%s of %s (pid %d) restored, due in %lld ms", exit_kind_text(r.kind), r.cmdline.c_str(), r.pid,
                 static_cast<long long>(r.due_ms > now ? r.due_ms - now : 0));
      const int64_t due = r.due_ms;
      reg_.schedule(std::move(r), due);
      continue;
    }
    // A withdrawal sent while no daemon ran was not sent at all (the exit
    // marker tells clients to stand down), but it removed the file.
    if (r.db_file && !db_file_exists(r.vsd, r.pid, r.cmdline, r.cred.known ? r.cred.uid : 0)) {
      KIVD_EVENT("pid %d: registration withdrawn while no daemon ran: %s", r.pid, r.cmdline.c_str());
      continue;
    }
    // The start time, read while the pidfd pins the process, tells the
    // registered process from a later one given the same pid.
    const uint64_t ticks = r.start_ticks;
    r.pidfd.reset(open_pidfd(r.pid));
    if (r.pidfd.ok() && ticks != 0 && start_ticks(r.pid) == ticks && !pidfd_ended(r.pidfd.get())) {
      // A living process's credentials are read again, as at registration,
      // since it may have changed them meanwhile. The saved ones serve when
      // it ends before they could be read (its exit is then seen at once).
      Credentials now_cred;
      if (read_credentials(r.pid, r.pidfd.get(), &now_cred)) {
        r.cred = std::move(now_cred);
      } else if (errno != ESRCH) {
        KIVD_ERROR("pid %d: credentials unreadable (%m), the saved ones kept", r.pid);
      }
      (void)watch_process(std::move(r), "restored", now);
      continue;
    }
    KIVD_EVENT("pid %d ended while no daemon watched it: %s", r.pid, r.cmdline.c_str());
    r.pidfd.reset();
    remove_db_file(r.vsd, r.pid, r.cmdline);
    r.guard.started(now);
    after_exit(std::move(r), now, 0);
  }
  dirty_ = true;
}

void ProcSupervisor::adopt_database(int64_t now) {
  for (const DbEntry& e : scan_database()) {
    if (e.skipped != nullptr) {
      KIVD_EVENT("%s is %s, left alone", e.path.c_str(), e.skipped);
      continue;
    }
    if (e.readable && e.holder > 0 && reg_.watched(e.pid) != nullptr) continue;  // restored already
    if (!e.readable) {
      KIVD_EVENT("registration file %s unreadable, left alone", e.path.c_str());
      continue;
    }
    if (e.holder <= 0) {
      KIVD_EVENT("stale registration file %s (pid %d, no living holder), left alone", e.path.c_str(), e.pid);
      continue;
    }
    // The lock proves its holder alive. A registrant that registered
    // another process holds the lock for it: then the registered pid must
    // still run the recorded command line, or the number was reused.
    if (e.holder != e.pid && !db_cmdline_matches(e.pid, e.cmdline)) {
      KIVD_EVENT("registration file %s: pid %d no longer runs %s, left alone", e.path.c_str(), e.pid,
                 e.cmdline.c_str());
      continue;
    }
    ProcReg r;
    r.pid = e.pid;
    r.vsd = e.vsd;
    r.kind = e.kind == kDbKindRestart ? ExitKind::kRestart : ExitKind::kScript;
    r.type = e.kind == kDbKindRestart ? KIV_MSG_RESTART : KIV_MSG_SHELL_RESTART;
    r.cmdline = e.cmdline;
    r.pidfd.reset(open_pidfd(e.pid));
    if (!r.pidfd.ok()) {
      KIVD_EVENT("registration file %s: pid %d is gone, left alone", e.path.c_str(), e.pid);
      continue;
    }
    // The process's own credentials, read while its pidfd pins it, are
    // those its restarts take. The directories are world-writable, so a
    // file counts only when written by root or by that process's user,
    // and a VSD's group only when the process carries it.
    if (!read_credentials(e.pid, r.pidfd.get(), &r.cred)) continue;
    if (e.owner != 0 && e.owner != r.cred.uid) {
      KIVD_EVENT("registration file %s: owner uid %u is not pid %d's uid %u, left alone", e.path.c_str(), e.owner,
                 e.pid, r.cred.uid);
      continue;
    }
    if (e.vsd != 0 && e.owner != 0 && !r.cred.has_group(static_cast<gid_t>(kiv::vsd::supplement_id(e.vsd)))) {
      KIVD_EVENT("registration file %s: pid %d is not of vsd %d, left alone", e.path.c_str(), e.pid, e.vsd);
      continue;
    }
    char how[300];
    snprintf(how, sizeof how, "adopted from %s", e.path.c_str());
    (void)watch_process(std::move(r), how, now);
  }
}

bool ProcSupervisor::watch_process(ProcReg&& r, const char* how, int64_t now) {
  const pid_t pid = r.pid;
  if (!r.db_file) r.db_file = db_file_exists(r.vsd, pid, r.cmdline, r.cred.known ? r.cred.uid : 0);
  if (reg_.watched(pid) == nullptr) {  // an update keeps what was learnt
    pid_t parent = -1;
    r.start_ticks = start_ticks(pid, &parent);
    r.child = parent == self_;
    r.guard.started(now);
  }
  for (auto it = helpers_.begin(); r.child && it != helpers_.end(); ++it) {
    if (it->second.pid != pid) continue;
    // A child of ours registered again: its registration reaps it now.
    events_.del(it->first);
    helpers_.erase(it);
    break;
  }
  bool replaced = false;
  ProcReg* w = reg_.watch(std::move(r), &replaced);
  if (w == nullptr) {
    KIVD_ERROR("pid %d: registration refused, %zu registrations already", pid, reg_.process_count());
    return false;
  }
  if (!replaced && !events_.add(w->pidfd.get(), kProc, EPOLLIN)) {
    (void)reg_.take(pid);
    return false;
  }
  dirty_ = true;
  KIVD_EVENT("pid %d registered for %s (vsd %d, %s, uid %u): %s%s%s", pid, exit_kind_text(w->kind), w->vsd, how,
             w->cred.uid, w->cmdline.c_str(), w->kind == ExitKind::kShell ? " -> " : "",
             w->kind == ExitKind::kShell ? w->shell.c_str() : "");
  return true;
}

Refusal ProcSupervisor::on_exit_action(const Frame& f, const Peer& c, int64_t now) {
  const ExitAction a = decode_exit_action(f.payload);
  ProcReg r;
  r.pid = a.pid;
  r.vsd = a.vsd;
  r.type = f.type;
  r.cmdline = a.cmdline;
  if (f.type == KIV_MSG_RESTART) {
    r.kind = ExitKind::kRestart;
  } else {
    r.kind = f.name[0] != '\0' ? ExitKind::kShell : ExitKind::kScript;
    r.shell = f.name;
  }
  if (a.pid <= 0 || (a.vsd != 0 && !kiv::vsd::valid(a.vsd))) {
    KIVD_EVENT("registration from pid %d refused: pid %d, vsd %d", c.pid, a.pid, a.vsd);
    return {};
  }
  if (r.kind != ExitKind::kShell && r.cmdline.empty()) {
    KIVD_EVENT("pid %d: registration without a command line refused (nothing to start)", a.pid);
    return {};
  }
  const ProcReg* w = reg_.watched(a.pid);
  if (w != nullptr && (c.uid == 0 || w->cred.uid == c.uid)) {
    r.cred = w->cred;  // a repeated registration reads nothing from /proc
  } else {
    if (w == nullptr) r.pidfd.reset(open_pidfd(a.pid));
    const int pidfd = w != nullptr ? w->pidfd.get() : r.pidfd.get();
    if (pidfd < 0 || !read_credentials(a.pid, pidfd, &r.cred)) {
      KIVD_EVENT("pid %d: registration refused: %m", a.pid);
      return {};
    }
    if (c.uid != 0 && r.cred.uid != c.uid) {
      return {"exit action", a.pid};
    }
  }
  // A VSD's group is a privilege: only a process that has it may ask to
  // be started with it.
  if (a.vsd != 0 && c.uid != 0 && !r.cred.has_group(static_cast<gid_t>(kiv::vsd::supplement_id(a.vsd)))) {
    return {"exit action in a VSD", a.pid, "the process lacks that VSD's group"};
  }
  (void)watch_process(std::move(r), "by request", now);
  return {};
}

Refusal ProcSupervisor::on_time_value(const Frame& f, const Peer& c) {
  const ExitAction a = decode_exit_action(f.payload);
  if (a.pid <= 0) {
    KIVD_EVENT("time value for pid %d ignored", a.pid);
    return {};
  }
  if (c.uid != 0) {
    // A registration is judged by whose it is (its pid may already be
    // another process's); a value for a later registration by whose the
    // pid is now.
    const ProcReg* r = reg_.find(a.pid);
    if (r != nullptr ? r->cred.uid != c.uid : owner_check(c.uid, a.pid, false) != Owner::kYes) {
      return {"time value", a.pid};
    }
  }
  const uint32_t seconds = a.time > kMaxTimeValue ? kMaxTimeValue : a.time;
  reg_.set_time_value(a.pid, seconds, c.uid);
  dirty_ = true;
  if (seconds != a.time) {
    KIVD_EVENT("pid %d: restart delay %u s (%u s asked, %u s at most)", a.pid, seconds, a.time, kMaxTimeValue);
  } else {
    KIVD_EVENT("pid %d: restart delay %u s", a.pid, seconds);
  }
  return {};
}

Refusal ProcSupervisor::on_cancel(pid_t pid, const Peer& conn) {
  const ProcReg* r = reg_.find(pid);
  if (conn.uid != 0 && r != nullptr && r->cred.uid != conn.uid) return {"withdrawal", pid};
  if (withdraw(pid)) {
    KIVD_EVENT("pid %d: registration withdrawn", pid);
  } else {
    KIVD_EVENT("pid %d: withdrawal of no registration", pid);
  }
  return {};
}

}  // namespace kiv::manager
