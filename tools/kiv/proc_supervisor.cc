// Process registrations: exits, restarts with their backoff, helpers.
#include "proc_supervisor.h"

#include <errno.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/wait.h>

#include "db.h"
#include "log.h"
#include "procs.h"
#include "state.h"
#include "thread_supervisor.h"

namespace kiv::manager {

namespace {

constexpr int64_t kSaveIntervalMs = 50;  // a busy daemon saves at most this often
constexpr int kOrphanPollMs = 200;

}  // namespace

void ProcSupervisor::on_exit(int fd, int64_t now) {
  ProcReg* w = reg_.watched_by_fd(fd);
  // Only an ended process counts: an event of this batch may have been
  // queued for a descriptor whose number has since been given to a living
  // process's pidfd.
  if (w == nullptr || !pidfd_ended(fd)) return;
  events_.del(fd);
  const pid_t pid = w->pid;
  ProcReg reg = std::move(*reg_.take(pid));
  const ExitStatus st =
      reg.child ? reap_child(reg.pidfd.get()) : foreign_exit_status(reg.pidfd.get(), pid, reg.start_ticks);
  reg.pidfd.reset();
  KIVD_EVENT("pid %d exited (%s): %s", pid, describe(st).c_str(), reg.cmdline.c_str());
  // A restart due now is started first; what concerns only the old
  // process waits until the new one runs.
  const int32_t vsd = reg.vsd;
  const std::string cmdline = reg.cmdline;
  after_exit(std::move(reg), now, 0);
  log_flush();
  if (threads_ != nullptr) threads_->process_ended(pid);
  // Its database file names a process that no longer exists; the new
  // instance writes its own, under its own pid, when it registers.
  remove_db_file(vsd, pid, cmdline);
}

bool ProcSupervisor::withdraw(pid_t pid) {
  ProcReg* w = reg_.watched(pid);
  if (w == nullptr) {
    if (!reg_.cancel(pid)) return false;  // a pending restart, or nothing
    dirty_ = true;
    return true;
  }
  events_.del(w->pidfd.get());
  ProcReg r = std::move(*reg_.take(pid));
  dirty_ = true;
  // A program this daemon started stays its child: it is reaped when it
  // ends, registered or not.
  if (r.child) keep_reaping(std::move(r.pidfd), pid, "unregistered " + r.cmdline);
  return true;
}

void ProcSupervisor::after_exit(ProcReg&& reg, int64_t now, int64_t min_delay_ms) {
  dirty_ = true;
  int64_t delay = scale_.ms(reg.delay_s);
  if (reg.kind == ExitKind::kRestart) {
    const CrashLoopGuard::Decision d = reg.guard.exited(now, limits_, scale_);
    if (!d.restart) {
      KIVD_EVENT("%s: %d restarts within %g s, crash loop: no longer restarted", reg.cmdline.c_str(), d.recent,
                 limits_.window_s);
      return;
    }
    delay += d.backoff_ms;
  }
  if (delay < min_delay_ms) delay = min_delay_ms;
  if (delay <= 0) {
    restart(std::move(reg), now);
    return;
  }
  KIVD_EVENT("%s of %s in %lld ms", exit_kind_text(reg.kind), reg.cmdline.c_str(), static_cast<long long>(delay));
  reg_.schedule(std::move(reg), now + delay);
}

void ProcSupervisor::restart(ProcReg&& reg, int64_t now) {
  dirty_ = true;
  if (reg.kind == ExitKind::kShell) {
    const pid_t pid = launch_.shell(reg.shell, reg.cred);
    if (pid < 0) {
      KIVD_ERROR("shell %s for pid %d: start failed: %m", reg.shell.c_str(), reg.pid);
    } else {
      KIVD_EVENT("pid %d: running shell %s as pid %d", reg.pid, reg.shell.c_str(), pid);
      add_helper(pid, "shell " + reg.shell);
    }
    return;
  }
  if (reg.kind == ExitKind::kScript) {
    const pid_t pid = launch_.script(reg.cmdline, reg.vsd, reg.cred);
    if (pid < 0) {
      KIVD_ERROR("restart script of %s: start failed: %m", reg.cmdline.c_str());
    } else {
      KIVD_EVENT("pid %d: running the restart script of %s as pid %d", reg.pid, reg.cmdline.c_str(), pid);
      add_helper(pid, "restart script of " + reg.cmdline);
    }
    return;
  }
  const pid_t old = reg.pid;
  const pid_t pid = launch_.program(reg.cmdline, reg.vsd, reg.cred);
  const int launch_errno = errno;
  reg.guard.restarted(now);
  if (pid > 0) {
    reg.pidfd.reset(open_pidfd(pid));
    reg.pid = pid;
    reg.child = true;
    reg.db_file = false;  // the old one's was removed; the new one writes its own
    reg.start_ticks = start_ticks(pid);
    reg.due_ms = -1;
    bool replaced = false;
    ProcReg* w = reg.pidfd.ok() ? reg_.watch(std::move(reg), &replaced) : nullptr;
    if (w != nullptr && (replaced || events_.add(w->pidfd.get(), kProc, EPOLLIN))) {
      KIVD_EVENT("restarted %s as pid %d (was pid %d)", w->cmdline.c_str(), pid, old);
      return;
    }
    if (w != nullptr) reg = std::move(*reg_.take(pid));
    // A copy that cannot be watched would go on running beside the next
    // attempt's: it is ended and reaped instead.
    KIVD_ERROR("restarted %s as pid %d but cannot watch it, ended", reg.cmdline.c_str(), pid);
    (void)kill(pid, SIGKILL);
    if (reg.pidfd.ok()) {
      keep_reaping(std::move(reg.pidfd), pid, "unwatched restart of " + reg.cmdline);
    } else {
      orphans_.push_back(pid);
    }
  } else {
    errno = launch_errno;
    KIVD_ERROR("restart of %s failed: %m", reg.cmdline.c_str());
  }
  // Not at once: a program that cannot be started is retried at the pace
  // of the backoff until the crash-loop guard gives up on it.
  const int64_t pace = scale_.ms(limits_.backoff_base_s);
  after_exit(std::move(reg), now, pace > 0 ? pace : 1);
}

void ProcSupervisor::add_helper(pid_t pid, std::string what) {
  keep_reaping(kiv::unique_fd(open_pidfd(pid)), pid, std::move(what));
}

void ProcSupervisor::keep_reaping(kiv::unique_fd pidfd, pid_t pid, std::string what) {
  if (!pidfd.ok() || !events_.add(pidfd.get(), kHelper, EPOLLIN)) {
    KIVD_ERROR("cannot watch pid %d (%s): %m; reaped by polling", pid, what.c_str());
    orphans_.push_back(pid);
    return;
  }
  Helper h;
  h.pid = pid;
  h.what = std::move(what);
  const int fd = pidfd.get();
  h.pidfd = std::move(pidfd);
  helpers_[fd] = std::move(h);
}

void ProcSupervisor::reap_orphans() {
  for (size_t i = 0; i < orphans_.size();) {
    int status = 0;
    const pid_t r = waitpid(orphans_[i], &status, WNOHANG);
    if (r == 0 || (r < 0 && errno == EINTR)) {
      ++i;
      continue;
    }
    KIVD_EVENT("pid %d reaped", orphans_[i]);
    orphans_.erase(orphans_.begin() + static_cast<long>(i));
  }
}

void ProcSupervisor::save_if_due(int64_t now, bool force) {
  if (!dirty_ || (!force && now < saved_ms_ + kSaveIntervalMs)) return;
  std::vector<const ProcReg*> regs;
  for (const auto& [pid, r] : reg_.all_watched()) regs.push_back(&r);
  for (const ProcReg& r : reg_.all_pending()) regs.push_back(&r);
  // A failure is logged and retried at the next change.
  (void)save_registrations(kStatePath, regs);
  saved_ms_ = now;
  dirty_ = false;
}

void ProcSupervisor::on_helper_exit(int fd) {
  auto it = helpers_.find(fd);
  if (it == helpers_.end() || !pidfd_ended(fd)) return;
  events_.del(fd);
  const ExitStatus st = reap_child(fd);
  KIVD_EVENT("%s (pid %d) finished: %s", it->second.what.c_str(), it->second.pid, describe(st).c_str());
  helpers_.erase(it);
}

void ProcSupervisor::tick(int64_t now) {
  for (ProcReg& r : reg_.take_due(now)) restart(std::move(r), now);
  if (!orphans_.empty()) reap_orphans();
}

int64_t ProcSupervisor::deadline_ms(int64_t now) const {
  int64_t next = reg_.next_due_ms();
  if (dirty_ && (next < 0 || saved_ms_ + kSaveIntervalMs < next)) next = saved_ms_ + kSaveIntervalMs;
  if (!orphans_.empty() && (next < 0 || now + kOrphanPollMs < next)) next = now + kOrphanPollMs;
  return next;
}

}  // namespace kiv::manager
