// The daemon's event loop.
#include "server.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/epoll.h>
#include <unistd.h>

#include "kiv_comp_config.h"
#include "launch.h"
#include "log.h"

namespace kiv::manager {

namespace {

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

ControlLimits control_limits(const ServerConfig& cfg) {
  ControlLimits l;
  l.max_clients = cfg.max_clients;
  l.max_per_uid = cfg.max_per_uid;
  l.idle_ms = cfg.idle_ms;
  return l;
}

}  // namespace

Launcher daemon_launcher() { return Launcher{launch_program, launch_script, launch_shell}; }

Server::Server(const ServerConfig& cfg)
    : cfg_(cfg),
      threads_(reg_, cfg.scale, cfg.alive_table),
      procs_(reg_, events_, cfg.scale, cfg.limits, daemon_launcher(), &threads_),
      control_(events_, procs_, threads_, control_limits(cfg)) {}

bool Server::start() {
  int p[2];
  if (!events_.open() || pipe2(p, O_CLOEXEC | O_NONBLOCK) != 0) {
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
  return control_.open() && events_.add(signal_rd_.get(), kSignal, EPOLLIN);
}

int Server::run() {
  KIVD_EVENT("serving on %s (pid %d, time scale %g)", KIV_SOCK_PATH, getpid(), cfg_.scale.factor());
  struct epoll_event events[64];
  for (;;) {
    log_flush();
    const int n = epoll_wait(events_.fd(), events, 64, timeout_ms(mono_ms()));
    if (n < 0 && errno != EINTR) {
      KIVD_ERROR("epoll_wait: %m");
      log_flush();
      return 1;
    }
    // Exits first: a program killed hangs up its connection too, and its
    // restart should not wait behind that in the same batch.
    for (int i = 0; i < n; ++i) {
      if (EventSet::tag_of(events[i].data.u64) == kProc) procs_.on_exit(EventSet::fd_of(events[i].data.u64), mono_ms());
    }
    for (int i = 0; i < n; ++i) {
      const int fd = EventSet::fd_of(events[i].data.u64);
      switch (EventSet::tag_of(events[i].data.u64)) {
        case kListen: control_.on_accept(); break;
        case kSignal: {
          char c = 0;
          if (read(fd, &c, 1) == 1 && (c == SIGTERM || c == SIGINT)) {
            stop(c);
            log_flush();
            return 0;
          }
          break;
        }
        case kConn: control_.on_conn(fd, events[i].events); break;
        case kProc: break;  // above
        case kHelper: procs_.on_helper_exit(fd); break;
        default: break;
      }
    }
    const int64_t now = mono_ms();
    procs_.tick(now);
    threads_.tick(now);
    procs_.save_if_due(mono_ms());
    control_.tick(mono_ms());
  }
}

int Server::timeout_ms(int64_t now) const {
  int64_t next = -1;
  for (const int64_t t : {procs_.deadline_ms(now), threads_.deadline_ms(), control_.deadline_ms()}) {
    if (t >= 0 && (next < 0 || t < next)) next = t;
  }
  if (next < 0) return -1;
  const int64_t left = next - now;
  if (left <= 0) return 0;
  return left > 60000 ? 60000 : static_cast<int>(left);
}

void Server::stop(int sig) {
  // The marker first: from now on clients send nothing and report success.
  kiv::unique_fd marker(open(KIV_STATUS_FILE, O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
  if (!marker.ok()) KIVD_ERROR("cannot create %s: %m", KIV_STATUS_FILE);
  control_.close();
  procs_.save_if_due(mono_ms(), true);
  KIVD_EVENT("stopping on signal %d (%s)", sig, strsignal(sig));
}

}  // namespace kiv::manager
