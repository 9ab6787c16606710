// The daemon's event loop.
#include "server.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "base/proc.h"
#include "base/vsd_paths.h"
#include "db.h"
#include "kiv_comp_config.h"
#include "kiv_sys_alive.h"
#include "launch.h"
#include "log.h"
#include "procs.h"

namespace kiv::manager {

namespace {

constexpr int kPacketsPerWakeup = 32;    // fairness between busy clients
constexpr int kAcceptsPerWakeup = 64;    // then the other events get their turn
// Descriptors that connections never take: restarts, helpers, registrations
// and the database need them however many clients wait.
constexpr int kReservedFds = 32;
constexpr int64_t kAcceptPauseMs = 100;  // after running out of descriptors
constexpr uint32_t kMaxTimeValue = 600;  // seconds of delay a time value may ask
constexpr int kLogLinesPerSecond = 20;   // lines that clients' misdeeds may cause
constexpr int64_t kStatsPeriodMs = 1000;
constexpr int32_t kMaxWatchSeconds = 86400;
constexpr int32_t kDefaultPeriod = 5;
constexpr int32_t kDefaultWindow = 120;

int g_signal_wr = -1;

void on_signal(int sig) {
  const int saved = errno;
  const char c = static_cast<char>(sig);
  (void)!write(g_signal_wr, &c, 1);
  errno = saved;
}

// SIGPIPE gets a handler rather than SIG_IGN: an ignored disposition would
// be inherited by every program the daemon starts, a handler is not.
void on_sigpipe(int) {}

uint64_t key(uint32_t tag, int fd) { return (static_cast<uint64_t>(tag) << 32) | static_cast<uint32_t>(fd); }

pid_t parent_of(pid_t pid) {
  char buf[kiv::kProcStatLen];
  if (kiv::read_proc_file(pid, "stat", buf, sizeof buf) <= 0) return -1;
  const char* p = kiv::stat_fields_of(buf);
  int ppid = -1;
  char state;
  if (p == nullptr || sscanf(p, "%c %d", &state, &ppid) != 2) return -1;
  return ppid;
}

bool thread_of(pid_t pid, int32_t tid) {
  char path[64];
  snprintf(path, sizeof path, "/proc/%d/task/%d", pid, tid);
  return access(path, F_OK) == 0;
}

enum class Owner { kYes, kNo, kGone };

// Whether the real uid of task id is uid. The pidfd is opened before /proc
// is read, and read_credentials trusts the text only while it still shows
// the task alive, so a reused pid number cannot pass for the task.
Owner owner_check(uid_t uid, pid_t id, bool thread) {
  kiv::unique_fd pfd(open_pidfd(id, thread));
  Credentials c;
  if (!pfd.ok() || !read_credentials(id, pfd.get(), &c)) return Owner::kGone;
  return c.uid == uid ? Owner::kYes : Owner::kNo;
}

int32_t clamp_seconds(int32_t v, int32_t fallback) {
  if (v <= 0) return fallback;
  return v > kMaxWatchSeconds ? kMaxWatchSeconds : v;
}

}  // namespace

bool Server::add_fd(int fd, Tag tag, uint32_t events) {
  struct epoll_event ev = {};
  ev.events = events;
  ev.data.u64 = key(tag, fd);
  if (epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &ev) == 0) return true;
  KIVD_ERROR("epoll_ctl add fd %d: %m", fd);
  return false;
}

bool Server::start() {
  epoll_.reset(epoll_create1(EPOLL_CLOEXEC));
  int p[2];
  if (!epoll_.ok() || pipe2(p, O_CLOEXEC | O_NONBLOCK) != 0) {
    KIVD_ERROR("cannot create the event loop: %m");
    return false;
  }
  signal_rd_.reset(p[0]);
  g_signal_wr = p[1];  // kept open for the life of the process
  struct sigaction sa = {};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  (void)sigaction(SIGTERM, &sa, nullptr);
  (void)sigaction(SIGINT, &sa, nullptr);
  sa.sa_handler = on_sigpipe;
  (void)sigaction(SIGPIPE, &sa, nullptr);
  struct rlimit rl;
  if (getrlimit(RLIMIT_NOFILE, &rl) == 0) fd_limit_ = rl.rlim_cur > INT_MAX ? INT_MAX : static_cast<int>(rl.rlim_cur);

  (void)mkdir("/tmp/kiv", 0755);
  listen_.reset(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!listen_.ok()) {
    KIVD_ERROR("socket: %m");
    return false;
  }
  struct sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof addr.sun_path, "%s", KIV_SOCK_PATH);
  // Only one daemon holds the instance lock, so a socket file found here
  // was left by one that died: replace it.
  if (unlink(KIV_SOCK_PATH) == 0) KIVD_EVENT("replaced stale socket %s", KIV_SOCK_PATH);
  if (bind(listen_.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    KIVD_ERROR("bind %s: %m", KIV_SOCK_PATH);
    return false;
  }
  // Clients of every user register; each request is judged by the
  // credentials the kernel recorded for its connection.
  (void)chmod(KIV_SOCK_PATH, 0777);
  if (listen(listen_.get(), SOMAXCONN) != 0) {
    KIVD_ERROR("listen: %m");
    return false;
  }
  (void)write_stats(stats_);
  return add_fd(listen_.get(), kListen, EPOLLIN) && add_fd(signal_rd_.get(), kSignal, EPOLLIN);
}

void Server::adopt_database() {
  for (const DbEntry& e : scan_database()) {
    if (e.skipped != nullptr) {
      KIVD_EVENT("%s is %s, left alone", e.path.c_str(), e.skipped);
      continue;
    }
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
    (void)watch_process(std::move(r), how);
  }
}

bool Server::watch_process(ProcReg&& r, const char* how) {
  const pid_t pid = r.pid;
  if (reg_.watched(pid) == nullptr) {  // an update keeps what was learnt
    r.child = parent_of(pid) == getpid();
    r.start_ticks = start_ticks(pid);
    r.guard.started(mono_ms());
  }
  bool replaced = false;
  ProcReg* w = reg_.watch(std::move(r), &replaced);
  if (w == nullptr) {
    KIVD_ERROR("pid %d: registration refused, %zu registrations already", pid, reg_.process_count());
    return false;
  }
  if (!replaced && !add_fd(w->pidfd.get(), kProc, EPOLLIN)) {
    (void)reg_.take(pid);
    return false;
  }
  KIVD_EVENT("pid %d registered for %s (vsd %d, %s, uid %u): %s%s%s", pid, exit_kind_text(w->kind), w->vsd, how,
             w->cred.uid, w->cmdline.c_str(), w->kind == ExitKind::kShell ? " -> " : "",
             w->kind == ExitKind::kShell ? w->shell.c_str() : "");
  return true;
}

int Server::run() {
  KIVD_EVENT("serving on %s (pid %d, time scale %g)", KIV_SOCK_PATH, getpid(), cfg_.scale.factor());
  struct epoll_event events[64];
  for (;;) {
    const int n = epoll_wait(epoll_.get(), events, 64, timeout_ms(mono_ms()));
    if (n < 0 && errno != EINTR) {
      KIVD_ERROR("epoll_wait: %m");
      return 1;
    }
    for (int i = 0; i < n; ++i) {
      const uint32_t tag = static_cast<uint32_t>(events[i].data.u64 >> 32);
      const int fd = static_cast<int>(events[i].data.u64 & 0xffffffffu);
      switch (tag) {
        case kListen: on_accept(); break;
        case kSignal: {
          char c = 0;
          if (read(fd, &c, 1) == 1 && (c == SIGTERM || c == SIGINT)) {
            stop(c);
            return 0;
          }
          break;
        }
        case kConn: on_conn(fd, events[i].events); break;
        case kProc: on_proc_exit(fd); break;
        case kHelper: on_helper_exit(fd); break;
        default: break;
      }
    }
    on_tick(mono_ms());
    on_conn_tick(mono_ms());
  }
}

int Server::timeout_ms(int64_t now) const {
  int64_t next = reg_.next_due_ms();
  const int64_t sample = reg_.next_sample_ms();
  if (next < 0 || (sample >= 0 && sample < next)) next = sample;
  const int64_t conn = conn_deadline_ms();
  if (next < 0 || (conn >= 0 && conn < next)) next = conn;
  if (next < 0) return -1;
  const int64_t left = next - now;
  if (left <= 0) return 0;
  return left > 60000 ? 60000 : static_cast<int>(left);
}

void Server::stop(int sig) {
  // The marker first: from now on clients send nothing and report success.
  kiv::unique_fd marker(open(KIV_STATUS_FILE, O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
  if (!marker.ok()) KIVD_ERROR("cannot create %s: %m", KIV_STATUS_FILE);
  listen_.reset();
  (void)unlink(KIV_SOCK_PATH);
  (void)unlink(kStatsPath);
  conns_.clear();
  KIVD_EVENT("stopping on signal %d (%s)", sig, strsignal(sig));
}

void Server::on_accept() {
  const int64_t now = mono_ms();
  for (int i = 0; i < kAcceptsPerWakeup; ++i) {
    kiv::unique_fd sd(accept4(listen_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
    if (!sd.ok()) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        pause_accepting(now);
      } else if (errno != EAGAIN && may_log(now)) {
        KIVD_ERROR("accept: %m");
      }
      return;
    }
    struct ucred cred = {};
    socklen_t len = sizeof cred;
    if (getsockopt(sd.get(), SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || !admit(cred.uid, sd.get(), now)) {
      ++stats_.turned_away;
      stats_dirty_ = true;
      KIVD_DEBUG("client pid %d (uid %u) turned away: %zu connections, %zu of its user", cred.pid, cred.uid,
                 conns_.size(), per_uid_.count(cred.uid) ? per_uid_[cred.uid] : 0);
      continue;
    }
    const int fd = sd.get();
    if (!add_fd(fd, kConn, EPOLLIN | EPOLLRDHUP)) continue;
    KIVD_DEBUG("client connected (fd %d, pid %d, uid %u)", fd, cred.pid, cred.uid);
    ++per_uid_[cred.uid];
    conns_[fd] = Conn{std::move(sd), cred.pid, cred.uid, now, false};
    if (next_idle_check_ms_ < 0) next_idle_check_ms_ = now + cfg_.idle_ms;
  }
}

// accept4 returns the lowest free descriptor, so its number tells how many
// are left. A user other than root gets neither the reserve nor more than
// its share; root's clients are admitted in place of the longest idle
// client of another user, so that no user can lock root out.
bool Server::admit(uid_t uid, int fd, int64_t now) {
  const bool full = fd >= fd_limit_ - kReservedFds || conns_.size() >= cfg_.max_clients;
  if (uid != 0) {
    auto it = per_uid_.find(uid);
    return !full && (it == per_uid_.end() || it->second < cfg_.max_per_uid);
  }
  if (!full) return true;
  auto victim = conns_.end();
  for (auto it = conns_.begin(); it != conns_.end(); ++it) {
    if (it->second.uid != 0 && (victim == conns_.end() || it->second.last_ms < victim->second.last_ms)) victim = it;
  }
  if (victim == conns_.end()) return false;
  KIVD_DEBUG("client pid %d (uid %u) idle for %lld ms closed to admit one of root", victim->second.peer,
             victim->second.uid, static_cast<long long>(now - victim->second.last_ms));
  ++stats_.turned_away;
  stats_dirty_ = true;
  close_conn(victim->first);
  return true;
}

void Server::pause_accepting(int64_t now) {
  const int err = errno;
  // The listening socket stays readable while no descriptor is free: left
  // in the set it would wake the loop at once, again and again. Restarts
  // and watchdog samples go on meanwhile.
  (void)epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, listen_.get(), nullptr);
  accept_resume_ms_ = now + kAcceptPauseMs;
  ++stats_.exhausted;
  stats_dirty_ = true;
  if (may_log(now)) {
    KIVD_ERROR("accept: %s: not accepting clients for %lld ms", strerror(err), static_cast<long long>(kAcceptPauseMs));
  }
}

void Server::close_idle(int64_t now) {
  for (auto it = conns_.begin(); it != conns_.end();) {
    auto next = std::next(it);
    if (now - it->second.last_ms >= cfg_.idle_ms) {
      KIVD_DEBUG("client pid %d (uid %u) idle, connection closed", it->second.peer, it->second.uid);
      ++stats_.idle_closed;
      stats_dirty_ = true;
      close_conn(it->first);
    }
    it = next;
  }
  // Checked a few times per timeout: a connection lives at most 1.25 times it.
  const int64_t step = cfg_.idle_ms / 4 > 10 ? cfg_.idle_ms / 4 : 10;
  next_idle_check_ms_ = conns_.empty() ? -1 : now + step;
}

void Server::on_conn_tick(int64_t now) {
  if (accept_resume_ms_ >= 0 && now >= accept_resume_ms_ && listen_.ok()) {
    accept_resume_ms_ = -1;
    (void)add_fd(listen_.get(), kListen, EPOLLIN);
  }
  if (next_idle_check_ms_ >= 0 && now >= next_idle_check_ms_) close_idle(now);
  if (stats_dirty_ && now - stats_written_ms_ >= kStatsPeriodMs) {
    // At most once a period, however fast clients are refused.
    stats_dirty_ = false;
    stats_written_ms_ = now;
    if (!write_stats(stats_) && may_log(now)) KIVD_ERROR("cannot write %s: %m", kStatsPath);
  }
}

int64_t Server::conn_deadline_ms() const {
  int64_t next = accept_resume_ms_;
  if (next_idle_check_ms_ >= 0 && (next < 0 || next_idle_check_ms_ < next)) next = next_idle_check_ms_;
  const int64_t stats = stats_dirty_ ? stats_written_ms_ + kStatsPeriodMs : -1;
  if (stats_dirty_ && (next < 0 || stats < next)) next = stats;
  return next;
}

// Lines that clients can cause are limited, so that a flood of refused
// requests or connections floods neither the log nor the CPU writing it.
bool Server::may_log(int64_t now) {
  if (now - log_window_ms_ >= 1000) {
    if (log_dropped_ > 0) {
      KIVD_EVENT("%llu more lines about clients not logged", static_cast<unsigned long long>(log_dropped_));
    }
    log_window_ms_ = now;
    log_lines_ = 0;
    log_dropped_ = 0;
  }
  if (log_lines_ < kLogLinesPerSecond) {
    ++log_lines_;
    return true;
  }
  ++log_dropped_;
  return false;
}

void Server::refuse(Conn& c, const char* what, int32_t id, const char* why) {
  ++stats_.refused;
  stats_dirty_ = true;
  // Once per connection: a client repeating itself is only counted.
  if (c.refusal_logged || !may_log(mono_ms())) return;
  c.refusal_logged = true;
  KIVD_EVENT("client pid %d (uid %u): %s of id %d refused: %s", c.peer, c.uid, what, id, why);
}

void Server::close_conn(int fd) {
  auto it = conns_.find(fd);
  if (it == conns_.end()) return;
  auto u = per_uid_.find(it->second.uid);
  if (u != per_uid_.end() && --u->second == 0) per_uid_.erase(u);
  conns_.erase(it);
}

void Server::on_conn(int fd, uint32_t events) {
  auto it = conns_.find(fd);
  if (it == conns_.end()) return;
  Conn& conn = it->second;
  const pid_t peer = conn.peer;
  conn.last_ms = mono_ms();
  for (int i = 0; i < kPacketsPerWakeup; ++i) {
    // MSG_TRUNC makes recv report the packet's true size even when it did
    // not fit the buffer, so an oversized packet cannot pass as a short one.
    const ssize_t n = recv(fd, buf_, sizeof buf_, MSG_DONTWAIT | MSG_TRUNC);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN) {
        KIVD_DEBUG("client pid %d: receive failed: %m", peer);
        close_conn(fd);
      }
      return;
    }
    if (n == 0) {
      if ((events & (EPOLLHUP | EPOLLRDHUP)) == 0) {
        KIVD_EVENT("client pid %d: malformed frame (empty packet), connection closed", peer);
      } else {
        KIVD_DEBUG("client pid %d disconnected", peer);
      }
      close_conn(fd);
      return;
    }
    Frame f;
    const FrameCheck c = parse_frame(buf_, static_cast<size_t>(n), &f);
    if (c != FrameCheck::kOk) {
      uint32_t type = 0;
      if (n >= 4) memcpy(&type, buf_, 4);
      KIVD_EVENT("client pid %d: malformed frame (%s; %zd bytes, type %u), connection closed", peer,
                 frame_check_text(c), n, type);
      close_conn(fd);
      return;
    }
    handle(f, conn);
    if (needs_ack(f)) {
      kiv_msg ack = {};
      ack.msg_type = f.type;
      ssize_t s;
      do {
        s = send(fd, &ack, kHeaderLen, MSG_DONTWAIT | MSG_NOSIGNAL);
      } while (s < 0 && errno == EINTR);
      if (s != static_cast<ssize_t>(kHeaderLen)) {
        // A client that does not read its acknowledgements is not waited for.
        KIVD_DEBUG("client pid %d: acknowledgement not sent (%m), connection closed", peer);
        close_conn(fd);
        return;
      }
      KIVD_DEBUG("client pid %d: acknowledged type %u", peer, f.type);
    }
  }
}

void Server::handle(const Frame& f, Conn& c) {
  switch (classify(f)) {
    case RequestKind::kRestart:
    case RequestKind::kShellRestart: on_exit_action(f, c); break;
    case RequestKind::kOtherAction: {
      const ExitAction a = decode_exit_action(f.payload);
      KIVD_EVENT("pid %d: exit action of unknown type %u ignored", a.pid, f.type);
      break;
    }
    case RequestKind::kTimeValue: on_time_value(f, c); break;
    case RequestKind::kThreadRegister: on_thread(f, false, c); break;
    case RequestKind::kThreadBeat: on_thread(f, true, c); break;
    case RequestKind::kCancel: on_cancel(f, c); break;
  }
}

void Server::on_exit_action(const Frame& f, Conn& c) {
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
    KIVD_EVENT("registration from pid %d refused: pid %d, vsd %d", c.peer, a.pid, a.vsd);
    return;
  }
  if (r.kind != ExitKind::kShell && r.cmdline.empty()) {
    KIVD_EVENT("pid %d: registration without a command line refused (nothing to start)", a.pid);
    return;
  }
  const ProcReg* w = reg_.watched(a.pid);
  if (w != nullptr && (c.uid == 0 || w->cred.uid == c.uid)) {
    r.cred = w->cred;  // a repeated registration reads nothing from /proc
  } else {
    if (w == nullptr) r.pidfd.reset(open_pidfd(a.pid));
    const int pidfd = w != nullptr ? w->pidfd.get() : r.pidfd.get();
    if (pidfd < 0 || !read_credentials(a.pid, pidfd, &r.cred)) {
      KIVD_EVENT("pid %d: registration refused: %m", a.pid);
      return;
    }
    if (c.uid != 0 && r.cred.uid != c.uid) {
      refuse(c, "exit action", a.pid);
      return;
    }
  }
  // A VSD's group is a privilege: only a process that has it may ask to
  // be started with it.
  if (a.vsd != 0 && c.uid != 0 && !r.cred.has_group(static_cast<gid_t>(kiv::vsd::supplement_id(a.vsd)))) {
    refuse(c, "exit action in a VSD", a.pid, "the process lacks that VSD's group");
    return;
  }
  (void)watch_process(std::move(r), "by request");
}

void Server::on_time_value(const Frame& f, Conn& c) {
  const ExitAction a = decode_exit_action(f.payload);
  if (a.pid <= 0) {
    KIVD_EVENT("time value for pid %d ignored", a.pid);
    return;
  }
  if (c.uid != 0) {
    // A registration is judged by whose it is (its pid may already be
    // another process's); a value for a later registration by whose the
    // pid is now.
    const ProcReg* r = reg_.find(a.pid);
    if (r != nullptr ? r->cred.uid != c.uid : owner_check(c.uid, a.pid, false) != Owner::kYes) {
      refuse(c, "time value", a.pid);
      return;
    }
  }
  const uint32_t seconds = a.time > kMaxTimeValue ? kMaxTimeValue : a.time;
  reg_.set_time_value(a.pid, seconds, c.uid);
  if (seconds != a.time) {
    KIVD_EVENT("pid %d: restart delay %u s (%u s asked, %u s at most)", a.pid, seconds, a.time, kMaxTimeValue);
  } else {
    KIVD_EVENT("pid %d: restart delay %u s", a.pid, seconds);
  }
}

void Server::on_thread(const Frame& f, bool beat, Conn& c) {
  const ThreadNotify t = decode_thread_notify(f.payload);
  const int64_t now = mono_ms();
  if (t.tid <= 0 || t.pid <= 0) {
    KIVD_EVENT("thread watch request refused: tid %d, pid %d", t.tid, t.pid);
    return;
  }
  ThreadReg* old = reg_.thread(t.tid);
  // Another user's watch is neither fed nor replaced while its thread lives.
  if (c.uid != 0 && old != nullptr && old->owner != c.uid && !pidfd_ended(old->thread_fd.get())) {
    refuse(c, beat ? "heartbeat" : "thread watch", t.tid);
    return;
  }
  if (old != nullptr && (old->pid != t.pid || pidfd_ended(old->thread_fd.get()))) {
    unmark_thread(*old);
    reg_.remove_thread(t.tid);
    old = nullptr;
  }
  const int32_t period = clamp_seconds(t.period, kDefaultPeriod);
  const int32_t window = clamp_seconds(t.window, kDefaultWindow);
  const int64_t period_ms = cfg_.scale.ms(period) > 0 ? cfg_.scale.ms(period) : 1;
  const int64_t window_ms = cfg_.scale.ms(window) > 0 ? cfg_.scale.ms(window) : 1;
  if (old != nullptr && beat) {
    old->state.beat(now);
    return;
  }
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
      return;
    }
    if (c.uid != 0 && pc.uid != c.uid) {
      refuse(c, beat ? "heartbeat" : "thread watch", t.pid);
      return;
    }
  }
  n.in_table = cfg_.alive_table && t.tid < kAliveIdLimit;
  if (n.in_table) {
    (void)kiv_sys_reg_alive_info(t.tid);
    n.state.set_params(now, period_ms, window_ms, kiv_sys_get_alive_seq(t.tid));
  }
  const bool again = old != nullptr;
  if (reg_.add_thread(std::move(n)) == nullptr) {
    KIVD_ERROR("thread %d of pid %d: watch refused, table full", t.tid, t.pid);
    if (t.tid < kAliveIdLimit && cfg_.alive_table) (void)kiv_sys_unreg_alive_info(t.tid);
    return;
  }
  KIVD_EVENT("thread %d of pid %d %s: sampled every %d s, hung after %d s without %s", t.tid, t.pid,
             again ? "watched again" : "watched", period, window,
             t.tid < kAliveIdLimit && cfg_.alive_table ? "progress" : "a heartbeat");
}

void Server::unmark_thread(const ThreadReg& t) {
  if (t.in_table) (void)kiv_sys_unreg_alive_info(t.tid);
}

void Server::on_cancel(const Frame& f, Conn& conn) {
  const CancelReq c = decode_cancel(f.payload);
  const bool root = conn.uid == 0;
  if (c.kind == 0) {
    const ProcReg* r = reg_.find(c.id);
    if (!root && r != nullptr && r->cred.uid != conn.uid) {
      refuse(conn, "withdrawal", c.id);
    } else if (reg_.cancel(c.id)) {
      KIVD_EVENT("pid %d: registration withdrawn", c.id);
    } else {
      KIVD_EVENT("pid %d: withdrawal of no registration", c.id);
    }
  } else if (c.kind == 1) {
    ThreadReg* t = reg_.thread(c.id);
    if (t != nullptr && !root && t->owner != conn.uid && !pidfd_ended(t->thread_fd.get())) {
      refuse(conn, "thread withdrawal", c.id);
    } else if (t != nullptr) {
      unmark_thread(*t);
      reg_.remove_thread(c.id);
      KIVD_EVENT("thread %d: watch withdrawn", c.id);
    } else {
      // A mark without a watch is cleared for root, or for the thread's
      // own user.
      if (cfg_.alive_table && c.id > 0 && c.id < kAliveIdLimit &&
          (root || owner_check(conn.uid, c.id, true) == Owner::kYes)) {
        (void)kiv_sys_unreg_alive_info(c.id);
      }
      KIVD_EVENT("thread %d: withdrawal of no watch", c.id);
    }
  } else {
    KIVD_EVENT("withdrawal of unknown kind %u (id %d) ignored", c.kind, c.id);
  }
}

void Server::drop_threads_of(pid_t pid) {
  auto& threads = reg_.threads();
  for (auto it = threads.begin(); it != threads.end();) {
    if (it->second.pid == pid && pidfd_ended(it->second.proc_fd.get())) {
      unmark_thread(it->second);
      KIVD_EVENT("thread %d of pid %d: process ended, no longer watched", it->first, pid);
      it = threads.erase(it);
    } else {
      ++it;
    }
  }
}

void Server::on_proc_exit(int fd) {
  ProcReg* w = reg_.watched_by_fd(fd);
  if (w == nullptr) return;
  const pid_t pid = w->pid;
  ProcReg reg = std::move(*reg_.take(pid));
  const ExitStatus st = reg.child ? reap_child(reg.pidfd.get()) : foreign_exit_status(reg.pidfd.get(), pid, reg.start_ticks);
  reg.pidfd.reset();
  KIVD_EVENT("pid %d exited (%s): %s", pid, describe(st).c_str(), reg.cmdline.c_str());
  drop_threads_of(pid);
  // Its database file names a process that no longer exists; the new
  // instance writes its own when it registers.
  remove_db_file(reg.vsd, pid, reg.cmdline);
  after_exit(std::move(reg), mono_ms(), 0);
}

void Server::after_exit(ProcReg&& reg, int64_t now, int64_t min_delay_ms) {
  int64_t delay = cfg_.scale.ms(reg.delay_s);
  if (reg.kind == ExitKind::kRestart) {
    const CrashLoopGuard::Decision d = reg.guard.exited(now, cfg_.limits, cfg_.scale);
    if (!d.restart) {
      KIVD_EVENT("%s: %d restarts within %g s, crash loop: no longer restarted", reg.cmdline.c_str(), d.recent,
                 cfg_.limits.window_s);
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

void Server::restart(ProcReg&& reg, int64_t now) {
  if (reg.kind == ExitKind::kShell) {
    const pid_t pid = launch_shell(reg.shell, reg.cred);
    if (pid < 0) {
      KIVD_ERROR("shell %s for pid %d: start failed: %m", reg.shell.c_str(), reg.pid);
    } else {
      KIVD_EVENT("pid %d: running shell %s as pid %d", reg.pid, reg.shell.c_str(), pid);
      add_helper(pid, "shell " + reg.shell);
    }
    return;
  }
  if (reg.kind == ExitKind::kScript) {
    const pid_t pid = launch_script(reg.cmdline, reg.vsd, reg.cred);
    if (pid < 0) {
      KIVD_ERROR("restart script of %s: start failed: %m", reg.cmdline.c_str());
    } else {
      KIVD_EVENT("pid %d: running the restart script of %s as pid %d", reg.pid, reg.cmdline.c_str(), pid);
      add_helper(pid, "restart script of " + reg.cmdline);
    }
    return;
  }
  const pid_t old = reg.pid;
  const pid_t pid = launch_program(reg.cmdline, reg.vsd, reg.cred);
  reg.guard.restarted(now);
  if (pid > 0) reg.pidfd.reset(open_pidfd(pid));
  if (pid <= 0 || !reg.pidfd.ok()) {
    KIVD_ERROR("restart of %s failed: %m", reg.cmdline.c_str());
    // Not at once: a program that cannot be started is retried at the
    // pace of the backoff until the crash-loop guard gives up on it.
    const int64_t pace = cfg_.scale.ms(cfg_.limits.backoff_base_s);
    after_exit(std::move(reg), now, pace > 0 ? pace : 1);
    return;
  }
  reg.pid = pid;
  reg.child = true;
  reg.start_ticks = start_ticks(pid);
  reg.due_ms = -1;
  const std::string cmd = reg.cmdline;
  bool replaced = false;
  ProcReg* w = reg_.watch(std::move(reg), &replaced);
  if (w == nullptr || (!replaced && !add_fd(w->pidfd.get(), kProc, EPOLLIN))) {
    KIVD_ERROR("restarted %s as pid %d but cannot watch it", cmd.c_str(), pid);
    if (w != nullptr) (void)reg_.take(pid);
    return;
  }
  KIVD_EVENT("restarted %s as pid %d (was pid %d)", cmd.c_str(), pid, old);
}

void Server::add_helper(pid_t pid, std::string what) {
  Helper h;
  h.pid = pid;
  h.what = std::move(what);
  h.pidfd.reset(open_pidfd(pid));
  if (!h.pidfd.ok() || !add_fd(h.pidfd.get(), kHelper, EPOLLIN)) {
    KIVD_ERROR("cannot watch pid %d: %m", pid);
    return;
  }
  const int fd = h.pidfd.get();
  helpers_[fd] = std::move(h);
}

void Server::on_helper_exit(int fd) {
  auto it = helpers_.find(fd);
  if (it == helpers_.end()) return;
  const ExitStatus st = reap_child(fd);
  KIVD_EVENT("%s (pid %d) finished: %s", it->second.what.c_str(), it->second.pid, describe(st).c_str());
  helpers_.erase(it);
}

void Server::on_tick(int64_t now) {
  for (ProcReg& r : reg_.take_due(now)) restart(std::move(r), now);
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
      unmark_thread(t);
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
