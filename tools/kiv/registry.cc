// The daemon's registration tables.
#include "registry.h"

#include <algorithm>

namespace kiv::manager {

const char* exit_kind_text(ExitKind k) {
  switch (k) {
    case ExitKind::kRestart: return "restart";
    case ExitKind::kShell: return "shell restart";
    case ExitKind::kScript: return "script restart";
  }
  return "?";
}

ProcReg* Registry::watched(pid_t pid) {
  auto it = watched_.find(pid);
  return it == watched_.end() ? nullptr : &it->second;
}

ProcReg* Registry::watched_by_fd(int pidfd) {
  auto it = by_fd_.find(pidfd);
  return it == by_fd_.end() ? nullptr : watched(it->second);
}

ProcReg* Registry::watch(ProcReg&& reg, bool* replaced) {
  *replaced = false;
  auto tv = time_values_.find(reg.pid);
  // A value kept from another user does not reach this registration: the
  // pid may have been reused since.
  const bool had_time = tv != time_values_.end() && (tv->second.from == 0 || tv->second.from == reg.cred.uid);
  if (tv != time_values_.end()) {
    if (had_time) reg.delay_s = tv->second.seconds;
    time_values_.erase(tv);
    time_order_.erase(std::remove(time_order_.begin(), time_order_.end(), reg.pid), time_order_.end());
  }
  if (ProcReg* old = watched(reg.pid)) {
    *replaced = true;
    old->vsd = reg.vsd;
    old->type = reg.type;
    old->kind = reg.kind;
    old->shell = std::move(reg.shell);
    old->cmdline = std::move(reg.cmdline);
    old->db_file = reg.db_file;
    old->cred = std::move(reg.cred);
    if (had_time) old->delay_s = reg.delay_s;
    return old;
  }
  if (process_count() >= max_procs_ || !reg.pidfd.ok()) return nullptr;
  const int fd = reg.pidfd.get();
  const pid_t pid = reg.pid;
  auto [it, inserted] = watched_.emplace(pid, std::move(reg));
  (void)inserted;
  by_fd_[fd] = pid;
  return &it->second;
}

std::optional<ProcReg> Registry::take(pid_t pid) {
  auto it = watched_.find(pid);
  if (it == watched_.end()) return std::nullopt;
  by_fd_.erase(it->second.pidfd.get());
  std::optional<ProcReg> out(std::move(it->second));
  watched_.erase(it);
  return out;
}

void Registry::schedule(ProcReg&& reg, int64_t due_ms) {
  reg.pidfd.reset();
  reg.due_ms = due_ms;
  pending_.push_back(std::move(reg));
}

std::vector<ProcReg> Registry::take_due(int64_t now_ms) {
  std::vector<ProcReg> due;
  for (size_t i = 0; i < pending_.size();) {
    if (pending_[i].due_ms <= now_ms) {
      due.push_back(std::move(pending_[i]));
      pending_.erase(pending_.begin() + static_cast<long>(i));
    } else {
      ++i;
    }
  }
  return due;
}

int64_t Registry::next_due_ms() const {
  int64_t best = -1;
  for (const auto& p : pending_) {
    if (best < 0 || p.due_ms < best) best = p.due_ms;
  }
  return best;
}

const ProcReg* Registry::find(pid_t pid) const {
  auto w = watched_.find(pid);
  if (w != watched_.end()) return &w->second;
  auto it = std::find_if(pending_.begin(), pending_.end(), [pid](const ProcReg& p) { return p.pid == pid; });
  return it == pending_.end() ? nullptr : &*it;
}

bool Registry::cancel(pid_t pid) {
  if (take(pid)) return true;
  auto it = std::find_if(pending_.begin(), pending_.end(), [pid](const ProcReg& p) { return p.pid == pid; });
  if (it == pending_.end()) return false;
  pending_.erase(it);
  return true;
}

void Registry::set_time_value(pid_t pid, uint32_t seconds, uid_t from) {
  if (ProcReg* r = watched(pid)) {
    r->delay_s = seconds;
    return;
  }
  if (time_values_.find(pid) == time_values_.end()) {
    if (max_time_values_ == 0) return;
    while (time_values_.size() >= max_time_values_) {
      time_values_.erase(time_order_.front());
      time_order_.erase(time_order_.begin());
    }
    time_order_.push_back(pid);
  }
  time_values_[pid] = KeptTime{seconds, from};
}

ThreadReg* Registry::thread(int32_t tid) {
  auto it = threads_.find(tid);
  return it == threads_.end() ? nullptr : &it->second;
}

ThreadReg* Registry::add_thread(ThreadReg&& t) {
  auto it = threads_.find(t.tid);
  if (it != threads_.end()) {
    it->second = std::move(t);
    return &it->second;
  }
  if (threads_.size() >= max_threads_) return nullptr;
  const int32_t tid = t.tid;
  return &threads_.emplace(tid, std::move(t)).first->second;
}

bool Registry::remove_thread(int32_t tid) { return threads_.erase(tid) > 0; }

int64_t Registry::next_sample_ms() const {
  int64_t best = -1;
  for (const auto& [tid, t] : threads_) {
    const int64_t n = t.state.next_sample_ms();
    if (best < 0 || n < best) best = n;
  }
  return best;
}

}  // namespace kiv::manager
