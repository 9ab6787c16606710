// kiv: the process high-availability daemon (see --help).
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "kiv_comp_config.h"
#include "kiv_dbg.h"
#include "kiv_sem.h"
#include "kiv_sys_alive.h"
#include "kiv_utils.h"
#include "log.h"
#include "notify.h"
#include "options.h"
#include "server.h"

namespace {

using namespace kiv::manager;

constexpr char kRunDir[] = "/tmp/kiv";
constexpr char kLockPath[] = "/tmp/kiv/kiv.pid";

// --background: the parent returns once the child reports the socket ready
// (one byte on the pipe) or fails (the pipe closes without one).
int detach(int* ready_fd) {
  int p[2];
  if (pipe2(p, O_CLOEXEC) != 0) return -1;
  const pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid > 0) {
    (void)close(p[1]);
    char c = 0;
    ssize_t n;
    do {
      n = read(p[0], &c, 1);
    } while (n < 0 && errno == EINTR);
    _exit(n == 1 ? 0 : 1);
  }
  (void)close(p[0]);
  (void)setsid();
  *ready_fd = p[1];
  return 0;
}

// Many clients each hold a connection: allow as many as the hard limit.
void raise_descriptor_limit() {
  struct rlimit rl;
  if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
    rl.rlim_cur = rl.rlim_max;
    (void)setrlimit(RLIMIT_NOFILE, &rl);
  }
}

// /tmp is writable by every user: a /tmp/kiv made by someone else would let
// its owner replace the socket or the lock file. Such a directory (or
// whatever else has the name) is moved aside and made anew.
bool make_run_dir() {
  (void)mkdir(kRunDir, 0755);
  struct stat st;
  if (lstat(kRunDir, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & 022) == 0) {
    return true;
  }
  char aside[64];
  snprintf(aside, sizeof aside, "%s.untrusted.%d", kRunDir, getpid());
  if (rename(kRunDir, aside) != 0 || mkdir(kRunDir, 0755) != 0) {
    KIVD_ERROR("%s is not a directory of this user and cannot be replaced: %m", kRunDir);
    return false;
  }
  KIVD_EVENT("%s was not a directory of this user only: moved to %s", kRunDir, aside);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  // Every way out of main() writes what was logged; the children the
  // daemon forks leave by _exit() or exec, so never write it twice.
  (void)atexit(log_flush);
  Options opt;
  const int rc = parse_options(argc, argv, &opt);
  if (rc >= 0) return rc;
  if (geteuid() != 0) {
    KIVD_ERROR("must be run as root");
    return 1;
  }
  g_log_verbosity = opt.verbosity;
  notify_init();
  if (opt.verbosity >= 3) {
    for (int i = 0; i < KIV_DBG_LEVELS; ++i) g_kiv_dbg_level[i] = 0;
  }
  int ready_fd = -1;
  if (opt.background && detach(&ready_fd) != 0) {
    KIVD_ERROR("cannot detach: %m");
    return 1;
  }
  raise_descriptor_limit();

  if (!make_run_dir()) return 1;
  if (already_running(kLockPath) < 0) {  // the descriptor stays open: it is the lock
    KIVD_ERROR("another kiv is running (lock file %s)", kLockPath);
    return 1;
  }
  if (unlink(KIV_STATUS_FILE) == 0) KIVD_EVENT("removed exit marker %s", KIV_STATUS_FILE);

  ServerConfig cfg;
  cfg.scale = TimeScale(opt.time_scale);
  cfg.limits = opt.limits;
  cfg.max_clients = opt.max_clients;
  cfg.max_per_uid = opt.max_per_uid;
  cfg.idle_ms = static_cast<int64_t>(opt.idle_s * 1000);
  Server server(cfg);
  if (!server.start()) return 1;
  // Clearing the table makes every beating client thread register again at
  // once: the socket listens first, so those registrations wait in its
  // backlog instead of being refused and retried a second later.
  // A first mapping whose permission change failed reports -1 but is
  // mapped; asking again tells the two failures apart.
  const bool table = kiv_sys_init_alive_info(1) == 0 || kiv_sys_init_alive_info(1) == 0;
  if (!table) KIVD_ERROR("alive table unavailable: threads are judged by heartbeat messages only");
  server.set_alive_table(table);
  if (kiv_sem_init() != 0) KIVD_ERROR("control semaphore unavailable");
  server.restore_saved();
  server.adopt_database();
  if (ready_fd >= 0) {
    (void)!write(ready_fd, "R", 1);
    (void)close(ready_fd);
  }
  (void)notify("READY=1");
  const int status = server.run();
  (void)notify("STOPPING=1");
  return status;
}
