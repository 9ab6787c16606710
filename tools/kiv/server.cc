// The daemon's event loop.
#include "server.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "db.h"
#include "kiv_comp_config.h"
#include "kiv_sys_alive.h"
#include "kiv_vsd/vsd_paths.h"
#include "launch.h"
#include "log.h"
#include "procs.h"
#include "state.h"

namespace kiv::manager {

namespace {

constexpr int kPacketsPerWakeup = 32;    // fairness between busy clients
constexpr int32_t kMaxWatchSeconds = 86400;
constexpr int32_t kDefaultPeriod = 5;
constexpr int32_t kDefaultWindow = 120;
constexpr int64_t kSaveIntervalMs = 50;   // a busy daemon saves at most this often
constexpr int kOrphanPollMs = 200;

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
  char path[64], buf[512];
  snprintf(path, sizeof path, "/proc/%d/stat", pid);
  kiv::unique_fd fd(open(path, O_RDONLY | O_CLOEXEC));
  if (!fd.ok()) return -1;
  ssize_t n;
  do {
    n = read(fd.get(), buf, sizeof buf - 1);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return -1;
  buf[n] = '\0';
  const char* p = strrchr(buf, ')');
  int ppid = -1;
  char state;
  if (p == nullptr || sscanf(p + 1, " %c %d", &state, &ppid) != 2) return -1;
  return ppid;
}

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

bool Server::add_fd(int fd, Tag tag, uint32_t events) {
  struct epoll_event ev = {};
  ev.events = events;
  ev.data.u64 = key(tag, fd);
  if (epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &ev) == 0) return true;
  KIVD_ERROR("epoll_ctl add fd %d: %m", fd);
  return false;
}

// A descriptor leaves an epoll set only when its file's last copy is
// closed, and a child forked but not yet executing holds copies of all of
// them: a pidfd closed without this would go on reporting its ended
// process under its old number, by then given to a new pidfd.
void Server::del_fd(int fd) {
  if (epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, fd, nullptr) != 0 && errno != ENOENT) {
    KIVD_ERROR("epoll_ctl del fd %d: %m", fd);
  }
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
  spare_.reset(open("/dev/null", O_RDONLY | O_CLOEXEC));

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
  // Clients of every user register; the socket file's mode is the gate.
  (void)chmod(KIV_SOCK_PATH, 0777);
  if (listen(listen_.get(), SOMAXCONN) != 0) {
    KIVD_ERROR("listen: %m");
    return false;
  }
  return add_fd(listen_.get(), kListen, EPOLLIN) && add_fd(signal_rd_.get(), kSignal, EPOLLIN);
}

void Server::restore_saved() {
  const int64_t now = mono_ms();
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
    if (r.db_file && !db_file_exists(r.vsd, r.pid, r.cmdline)) {
      KIVD_EVENT("pid %d: registration withdrawn while no daemon ran: %s", r.pid, r.cmdline.c_str());
      continue;
    }
    // The start time, read while the pidfd pins the process, tells the
    // registered process from a later one given the same pid.
    const uint64_t ticks = r.start_ticks;
    r.pidfd.reset(open_pidfd(r.pid));
    if (r.pidfd.ok() && ticks != 0 && start_ticks(r.pid) == ticks && !pidfd_ended(r.pidfd.get())) {
      (void)watch_process(std::move(r), "restored");
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

void Server::adopt_database() {
  for (const DbEntry& e : scan_database()) {
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
    // Whether the holder still runs is checked again now that the pidfd
    // pins the process: a pid cannot be reused while its pidfd shows it alive.
    if (pidfd_ended(r.pidfd.get())) continue;
    char how[300];
    snprintf(how, sizeof how, "adopted from %s", e.path.c_str());
    (void)watch_process(std::move(r), how);
  }
}

bool Server::watch_process(ProcReg&& r, const char* how) {
  const pid_t pid = r.pid;
  if (!r.db_file) r.db_file = db_file_exists(r.vsd, pid, r.cmdline);
  if (reg_.watched(pid) == nullptr) {  // an update keeps what was learnt
    r.child = parent_of(pid) == getpid();
    r.start_ticks = start_ticks(pid);
    r.guard.started(mono_ms());
  }
  for (auto it = helpers_.begin(); r.child && it != helpers_.end(); ++it) {
    if (it->second.pid != pid) continue;
    // A child of ours registered again: its registration reaps it now.
    del_fd(it->first);
    helpers_.erase(it);
    break;
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
  dirty_ = true;
  KIVD_EVENT("pid %d registered for %s (vsd %d, %s): %s%s%s", pid, exit_kind_text(w->kind), w->vsd, how,
             w->cmdline.c_str(), w->kind == ExitKind::kShell ? " -> " : "",
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
    save_if_due(mono_ms());
  }
}

int Server::timeout_ms(int64_t now) const {
  int64_t next = reg_.next_due_ms();
  const int64_t sample = reg_.next_sample_ms();
  if (next < 0 || (sample >= 0 && sample < next)) next = sample;
  if (dirty_ && (next < 0 || saved_ms_ + kSaveIntervalMs < next)) next = saved_ms_ + kSaveIntervalMs;
  if (!orphans_.empty() && (next < 0 || now + kOrphanPollMs < next)) next = now + kOrphanPollMs;
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
  conns_.clear();
  if (dirty_) save_if_due(saved_ms_ + kSaveIntervalMs);
  KIVD_EVENT("stopping on signal %d (%s)", sig, strsignal(sig));
}

void Server::on_accept() {
  for (;;) {
    int fd = accept4(listen_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      if ((errno == EMFILE || errno == ENFILE) && spare_.ok()) {
        // Out of descriptors: drop the waiting client rather than spin on a
        // listening socket that stays readable.
        spare_.reset();
        fd = accept4(listen_.get(), nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) (void)close(fd);
        spare_.reset(open("/dev/null", O_RDONLY | O_CLOEXEC));
        KIVD_ERROR("out of descriptors: a client was turned away");
        continue;
      }
      if (errno != EAGAIN) KIVD_ERROR("accept: %m");
      return;
    }
    kiv::unique_fd sd(fd);
    if (conns_.size() >= cfg_.max_clients) {
      KIVD_DEBUG("client turned away: %zu connections already", conns_.size());
      continue;
    }
    struct ucred cred = {};
    socklen_t len = sizeof cred;
    (void)getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len);
    if (!add_fd(fd, kConn, EPOLLIN | EPOLLRDHUP)) continue;
    KIVD_DEBUG("client connected (fd %d, pid %d)", fd, cred.pid);
    conns_[fd] = Conn{std::move(sd), cred.pid};
  }
}

void Server::close_conn(int fd) {
  del_fd(fd);
  conns_.erase(fd);
}

void Server::on_conn(int fd, uint32_t events) {
  auto it = conns_.find(fd);
  if (it == conns_.end()) return;
  const pid_t peer = it->second.peer;
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
    handle(f, peer);
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

void Server::handle(const Frame& f, pid_t peer) {
  switch (classify(f)) {
    case RequestKind::kRestart:
    case RequestKind::kShellRestart: on_exit_action(f, peer); break;
    case RequestKind::kOtherAction: {
      const ExitAction a = decode_exit_action(f.payload);
      KIVD_EVENT("pid %d: exit action of unknown type %u ignored", a.pid, f.type);
      break;
    }
    case RequestKind::kTimeValue: on_time_value(f); break;
    case RequestKind::kThreadRegister: on_thread(f, false); break;
    case RequestKind::kThreadBeat: on_thread(f, true); break;
    case RequestKind::kCancel: on_cancel(f); break;
  }
}

void Server::on_exit_action(const Frame& f, pid_t peer) {
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
    KIVD_EVENT("registration from pid %d refused: pid %d, vsd %d", peer, a.pid, a.vsd);
    return;
  }
  if (r.kind != ExitKind::kShell && r.cmdline.empty()) {
    KIVD_EVENT("pid %d: registration without a command line refused (nothing to start)", a.pid);
    return;
  }
  if (reg_.watched(a.pid) == nullptr) {
    r.pidfd.reset(open_pidfd(a.pid));
    if (!r.pidfd.ok()) {
      KIVD_EVENT("pid %d: registration refused: %m", a.pid);
      return;
    }
  }
  (void)watch_process(std::move(r), "by request");
}

void Server::on_time_value(const Frame& f) {
  const ExitAction a = decode_exit_action(f.payload);
  if (a.pid <= 0) {
    KIVD_EVENT("time value for pid %d ignored", a.pid);
    return;
  }
  reg_.set_time_value(a.pid, a.time);
  dirty_ = true;
  KIVD_EVENT("pid %d: restart delay %u s", a.pid, a.time);
}

void Server::on_thread(const Frame& f, bool beat) {
  const ThreadNotify t = decode_thread_notify(f.payload);
  const int64_t now = mono_ms();
  if (t.tid <= 0 || t.pid <= 0) {
    KIVD_EVENT("thread watch request refused: tid %d, pid %d", t.tid, t.pid);
    return;
  }
  ThreadReg* old = reg_.thread(t.tid);
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
  if (old != nullptr) {
    n.proc_fd = std::move(old->proc_fd);
    n.thread_fd = std::move(old->thread_fd);
  } else {
    n.proc_fd.reset(open_pidfd(t.pid));
    n.thread_fd.reset(open_pidfd(t.tid, true));
    // Both pidfds are open and still show the tasks alive, so the ids
    // checked in /proc in between are these tasks and no reused ones.
    const bool ok = n.proc_fd.ok() && n.thread_fd.ok() && thread_of(t.pid, t.tid) &&
                    !pidfd_ended(n.proc_fd.get()) && !pidfd_ended(n.thread_fd.get());
    if (!ok) {
      KIVD_EVENT("thread %d of pid %d: watch refused (no such thread in that process)", t.tid, t.pid);
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

void Server::on_cancel(const Frame& f) {
  const CancelReq c = decode_cancel(f.payload);
  if (c.kind == 0) {
    if (withdraw(c.id)) {
      KIVD_EVENT("pid %d: registration withdrawn", c.id);
    } else {
      KIVD_EVENT("pid %d: withdrawal of no registration", c.id);
    }
  } else if (c.kind == 1) {
    ThreadReg* t = reg_.thread(c.id);
    if (t != nullptr) {
      unmark_thread(*t);
      reg_.remove_thread(c.id);
      KIVD_EVENT("thread %d: watch withdrawn", c.id);
    } else {
      if (cfg_.alive_table && c.id > 0 && c.id < kAliveIdLimit) (void)kiv_sys_unreg_alive_info(c.id);
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
  // Only an ended process counts: an event of this batch may have been
  // queued for a descriptor whose number has since been given to a living
  // process's pidfd.
  if (w == nullptr || !pidfd_ended(fd)) return;
  del_fd(fd);
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

bool Server::withdraw(pid_t pid) {
  ProcReg* w = reg_.watched(pid);
  if (w == nullptr) {
    if (!reg_.cancel(pid)) return false;  // a pending restart, or nothing
    dirty_ = true;
    return true;
  }
  del_fd(w->pidfd.get());
  ProcReg r = std::move(*reg_.take(pid));
  dirty_ = true;
  // A program this daemon started stays its child: it is reaped when it
  // ends, registered or not.
  if (r.child) keep_reaping(std::move(r.pidfd), pid, "unregistered " + r.cmdline);
  return true;
}

void Server::after_exit(ProcReg&& reg, int64_t now, int64_t min_delay_ms) {
  dirty_ = true;
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
  dirty_ = true;
  if (reg.kind == ExitKind::kShell) {
    const pid_t pid = launch_shell(reg.shell);
    if (pid < 0) {
      KIVD_ERROR("shell %s for pid %d: start failed: %m", reg.shell.c_str(), reg.pid);
    } else {
      KIVD_EVENT("pid %d: running shell %s as pid %d", reg.pid, reg.shell.c_str(), pid);
      add_helper(pid, "shell " + reg.shell);
    }
    return;
  }
  if (reg.kind == ExitKind::kScript) {
    const pid_t pid = launch_script(reg.cmdline, reg.vsd);
    if (pid < 0) {
      KIVD_ERROR("restart script of %s: start failed: %m", reg.cmdline.c_str());
    } else {
      KIVD_EVENT("pid %d: running the restart script of %s as pid %d", reg.pid, reg.cmdline.c_str(), pid);
      add_helper(pid, "restart script of " + reg.cmdline);
    }
    return;
  }
  const pid_t old = reg.pid;
  const pid_t pid = launch_program(reg.cmdline, reg.vsd);
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
    if (w != nullptr && (replaced || add_fd(w->pidfd.get(), kProc, EPOLLIN))) {
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
  const int64_t pace = cfg_.scale.ms(cfg_.limits.backoff_base_s);
  after_exit(std::move(reg), now, pace > 0 ? pace : 1);
}

void Server::add_helper(pid_t pid, std::string what) {
  keep_reaping(kiv::unique_fd(open_pidfd(pid)), pid, std::move(what));
}

void Server::keep_reaping(kiv::unique_fd pidfd, pid_t pid, std::string what) {
  if (!pidfd.ok() || !add_fd(pidfd.get(), kHelper, EPOLLIN)) {
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

void Server::reap_orphans() {
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

void Server::save_if_due(int64_t now) {
  if (!dirty_ || now < saved_ms_ + kSaveIntervalMs) return;
  std::vector<const ProcReg*> regs;
  for (const auto& [pid, r] : reg_.all_watched()) regs.push_back(&r);
  for (const ProcReg& r : reg_.all_pending()) regs.push_back(&r);
  // A failure is logged and retried at the next change.
  (void)save_registrations(kStatePath, regs);
  saved_ms_ = now;
  dirty_ = false;
}

void Server::on_helper_exit(int fd) {
  auto it = helpers_.find(fd);
  if (it == helpers_.end() || !pidfd_ended(fd)) return;
  del_fd(fd);
  const ExitStatus st = reap_child(fd);
  KIVD_EVENT("%s (pid %d) finished: %s", it->second.what.c_str(), it->second.pid, describe(st).c_str());
  helpers_.erase(it);
}

void Server::on_tick(int64_t now) {
  for (ProcReg& r : reg_.take_due(now)) restart(std::move(r), now);
  if (!orphans_.empty()) reap_orphans();
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
      if (pidfd_signal(t.thread_fd.get(), SIGABRT, true) != 0) {
        KIVD_ERROR("thread %d of pid %d: SIGABRT not sent: %m", t.tid, t.pid);
      }
    }
    ++it;
  }
}

}  // namespace kiv::manager
