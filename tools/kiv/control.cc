// The control socket and its clients.
#include "control.h"

#include <errno.h>
#include <stddef.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "kiv_comp_config.h"
#include "log.h"

namespace kiv::manager {

namespace {

constexpr int kAcceptsPerWakeup = 64;    // then the other events get their turn
// Descriptors that connections never take: restarts, helpers, registrations
// and the database need them however many clients wait.
constexpr int kReservedFds = 32;
constexpr int64_t kAcceptPauseMs = 100;  // after running out of descriptors
constexpr int kLogLinesPerSecond = 20;   // lines that clients' misdeeds may cause
constexpr int64_t kStatsPeriodMs = 1000;

}  // namespace

bool ControlSocket::open() {
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
  return events_.add(listen_.get(), kListen, EPOLLIN);
}

void ControlSocket::close() {
  listen_.reset();
  (void)unlink(KIV_SOCK_PATH);
  (void)unlink(kStatsPath);
  conns_.clear();
}

void ControlSocket::on_accept() {
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
    if (!events_.add(fd, kConn, EPOLLIN | EPOLLRDHUP)) continue;
    KIVD_DEBUG("client connected (fd %d, pid %d, uid %u)", fd, cred.pid, cred.uid);
    ++per_uid_[cred.uid];
    conns_[fd] = Conn{std::move(sd), Peer{cred.pid, cred.uid}, now, false};
    if (next_idle_check_ms_ < 0) next_idle_check_ms_ = now + limits_.idle_ms;
  }
}

// accept4 returns the lowest free descriptor, so its number tells how many
// are left. A user other than root gets neither the reserve nor more than
// its share; root's clients are admitted in place of the longest idle
// client of another user, so that no user can lock root out.
bool ControlSocket::admit(uid_t uid, int fd, int64_t now) {
  const bool full = fd >= fd_limit_ - kReservedFds || conns_.size() >= limits_.max_clients;
  if (uid != 0) {
    auto it = per_uid_.find(uid);
    return !full && (it == per_uid_.end() || it->second < limits_.max_per_uid);
  }
  if (!full) return true;
  auto victim = conns_.end();
  for (auto it = conns_.begin(); it != conns_.end(); ++it) {
    if (it->second.peer.uid != 0 && (victim == conns_.end() || it->second.last_ms < victim->second.last_ms)) victim = it;
  }
  if (victim == conns_.end()) return false;
  KIVD_DEBUG("client pid %d (uid %u) idle for %lld ms closed to admit one of root", victim->second.peer.pid,
             victim->second.peer.uid, static_cast<long long>(now - victim->second.last_ms));
  ++stats_.turned_away;
  stats_dirty_ = true;
  close_conn(victim->first);
  return true;
}

void ControlSocket::pause_accepting(int64_t now) {
  const int err = errno;
  // The listening socket stays readable while no descriptor is free: left
  // in the set it would wake the loop at once, again and again. Restarts
  // and watchdog samples go on meanwhile.
  events_.forget(listen_.get());
  accept_resume_ms_ = now + kAcceptPauseMs;
  ++stats_.exhausted;
  stats_dirty_ = true;
  if (may_log(now)) {
    KIVD_ERROR("accept: %s: not accepting clients for %lld ms", strerror(err), static_cast<long long>(kAcceptPauseMs));
  }
}

void ControlSocket::close_idle(int64_t now) {
  for (auto it = conns_.begin(); it != conns_.end();) {
    auto next = std::next(it);
    if (now - it->second.last_ms >= limits_.idle_ms) {
      KIVD_DEBUG("client pid %d (uid %u) idle, connection closed", it->second.peer.pid, it->second.peer.uid);
      ++stats_.idle_closed;
      stats_dirty_ = true;
      close_conn(it->first);
    }
    it = next;
  }
  // Checked a few times per timeout: a connection lives at most 1.25 times it.
  const int64_t step = limits_.idle_ms / 4 > 10 ? limits_.idle_ms / 4 : 10;
  next_idle_check_ms_ = conns_.empty() ? -1 : now + step;
}

void ControlSocket::tick(int64_t now) {
  if (accept_resume_ms_ >= 0 && now >= accept_resume_ms_ && listen_.ok()) {
    accept_resume_ms_ = -1;
    (void)events_.add(listen_.get(), kListen, EPOLLIN);
  }
  if (next_idle_check_ms_ >= 0 && now >= next_idle_check_ms_) close_idle(now);
  if (stats_dirty_ && now - stats_written_ms_ >= kStatsPeriodMs) {
    // At most once a period, however fast clients are refused.
    stats_dirty_ = false;
    stats_written_ms_ = now;
    if (!write_stats(stats_) && may_log(now)) KIVD_ERROR("cannot write %s: %m", kStatsPath);
  }
}

int64_t ControlSocket::deadline_ms() const {
  int64_t next = accept_resume_ms_;
  if (next_idle_check_ms_ >= 0 && (next < 0 || next_idle_check_ms_ < next)) next = next_idle_check_ms_;
  const int64_t stats = stats_dirty_ ? stats_written_ms_ + kStatsPeriodMs : -1;
  if (stats_dirty_ && (next < 0 || stats < next)) next = stats;
  return next;
}

// Lines that clients can cause are limited, so that a flood of refused
// requests or connections floods neither the log nor the CPU writing it.
bool ControlSocket::may_log(int64_t now) {
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

void ControlSocket::refuse(Conn& c, const Refusal& r) {
  ++stats_.refused;
  stats_dirty_ = true;
  // Once per connection: a client repeating itself is only counted.
  if (c.refusal_logged || !may_log(mono_ms())) return;
  c.refusal_logged = true;
  KIVD_EVENT("client pid %d (uid %u): %s of id %d refused: %s", c.peer.pid, c.peer.uid, r.what, r.id, r.why);
}

void ControlSocket::close_conn(int fd) {
  auto it = conns_.find(fd);
  if (it == conns_.end()) return;
  events_.del(fd);
  auto u = per_uid_.find(it->second.peer.uid);
  if (u != per_uid_.end() && --u->second == 0) per_uid_.erase(u);
  conns_.erase(it);
}

void ControlSocket::on_conn(int fd, uint32_t events) {
  auto it = conns_.find(fd);
  if (it == conns_.end()) return;
  Conn& conn = it->second;
  const pid_t peer = conn.peer.pid;
  conn.last_ms = mono_ms();
  // Every packet queued, up to a batch, in one system call. MSG_TRUNC makes
  // each length the packet's true size even when it did not fit its
  // buffer, so an oversized packet cannot pass as a short one.
  struct iovec iov[kPacketsPerWakeup];
  struct mmsghdr msgs[kPacketsPerWakeup] = {};
  for (int i = 0; i < kPacketsPerWakeup; ++i) {
    iov[i].iov_base = buf_[i];
    iov[i].iov_len = sizeof buf_[i];
    msgs[i].msg_hdr.msg_iov = &iov[i];
    msgs[i].msg_hdr.msg_iovlen = 1;
  }
  int got;
  do {
    got = recvmmsg(fd, msgs, kPacketsPerWakeup, MSG_DONTWAIT | MSG_TRUNC, nullptr);
  } while (got < 0 && errno == EINTR);
  if (got < 0) {
    if (errno != EAGAIN) {
      KIVD_DEBUG("client pid %d: receive failed: %m", peer);
      close_conn(fd);
    }
    return;
  }
  for (int i = 0; i < got; ++i) {
    const uint8_t* buf = buf_[i];
    const ssize_t n = msgs[i].msg_len;
    if (n == 0) {
      // An empty packet, or the end of the connection (which fills the
      // rest of the batch with empty entries).
      if ((events & (EPOLLHUP | EPOLLRDHUP)) == 0) {
        KIVD_EVENT("client pid %d: malformed frame (empty packet), connection closed", peer);
      } else {
        KIVD_DEBUG("client pid %d disconnected", peer);
      }
      close_conn(fd);
      return;
    }
    Frame f;
    const FrameCheck c = parse_frame(buf, static_cast<size_t>(n), &f);
    if (c != FrameCheck::kOk) {
      uint32_t type = 0;
      if (n >= static_cast<ssize_t>(sizeof type)) memcpy(&type, buf + offsetof(kiv_msg, msg_type), sizeof type);
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

void ControlSocket::handle(const Frame& f, Conn& c) {
  const int64_t now = mono_ms();
  Refusal r;
  switch (classify(f)) {
    case RequestKind::kRestart:
    case RequestKind::kShellRestart: r = procs_.on_exit_action(f, c.peer, now); break;
    case RequestKind::kOtherAction: {
      const ExitAction a = decode_exit_action(f.payload);
      KIVD_EVENT("pid %d: exit action of unknown type %u ignored", a.pid, f.type);
      break;
    }
    case RequestKind::kTimeValue: r = procs_.on_time_value(f, c.peer); break;
    case RequestKind::kThreadRegister: r = threads_.on_thread(f, false, c.peer, now); break;
    case RequestKind::kThreadBeat: r = threads_.on_thread(f, true, c.peer, now); break;
    case RequestKind::kCancel: {
      const CancelReq q = decode_cancel(f.payload);
      if (q.kind == 0) {
        r = procs_.on_cancel(q.id, c.peer);
      } else if (q.kind == 1) {
        r = threads_.on_cancel(q.id, c.peer);
      } else {
        KIVD_EVENT("withdrawal of unknown kind %u (id %d) ignored", q.kind, q.id);
      }
      break;
    }
  }
  if (r) refuse(c, r);
}

}  // namespace kiv::manager
