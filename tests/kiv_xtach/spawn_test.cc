// kiv_start_user_process: the detached child as /proc shows it once it has
// executed its program, and the descriptors that must not reach it; and
// kiv_client_watch_process_fd ending its process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <set>

#include "kiv_pidfile.h"
#include "kiv_utils.h"
#include "kiv_xtach.h"
#include "support/child.h"
#include "support/files.h"
#include "support/fixture.h"

namespace kiv::test {
namespace {

using SpawnTest = SandboxTest;

TEST_F(SpawnTest, ChildIsDetachedWithDefaults) {
  // What a child would otherwise inherit: an ignored signal, a working
  // directory, a real-time policy, the SIGCHLD block of the fork, and the
  // descriptors that the library keeps or opens and closes.
  ASSERT_EQ(0, system("mkdir -p /tmp/xt && ln -sf /bin/sleep /tmp/xt/sleep && touch '/tmp/xt/sleep 30'"));
  signal(SIGUSR1, SIG_IGN);
  const struct sched_param rt = {1}, normal = {0};
  (void)pthread_setschedparam(pthread_self(), SCHED_FIFO, &rt);
  const int lock_fd = already_running("/tmp/xt/lock");
  ASSERT_EQ(0, kiv_db_create(0, getpid(), 2, "/tmp/xt/prog arg"));
  const std::string db = "/tmp/vsd/0/kiv/db/prog." + std::to_string(getpid());
  std::set<std::string> inheritable;
  for (const auto& [fd, target] : open_descriptors())
    if ((fcntl(fd, F_GETFD) & FD_CLOEXEC) == 0) inheritable.insert(std::to_string(fd));
  const int here = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_EQ(0, chdir("/tmp/xt"));
  const pid_t pid = kiv_start_user_process("/tmp/xt/sleep 30");
  ASSERT_EQ(0, fchdir(here));
  close(here);
  pthread_setschedparam(pthread_self(), SCHED_OTHER, &normal);
  signal(SIGUSR1, SIG_DFL);
  ASSERT_GT(pid, 0);
  const std::string proc = "/proc/" + std::to_string(pid);
  for (int i = 0; i < 1000 && read_file(proc + "/comm") != "sleep\n"; ++i) usleep(5000);
  sigset_t now;
  pthread_sigmask(SIG_SETMASK, nullptr, &now);
  EXPECT_FALSE(sigismember(&now, SIGCHLD)) << "the caller's mask is restored";
  EXPECT_EQ(pid, getsid(pid)) << "leads its own session";
  char cwd[64] = {};
  EXPECT_EQ(1, readlink((proc + "/cwd").c_str(), cwd, sizeof cwd - 1));
  EXPECT_STREQ("/", cwd);
  const std::string status = read_file(proc + "/status");
  EXPECT_NE(std::string::npos, status.find("SigIgn:\t0000000000000000\n"));
  EXPECT_NE(std::string::npos, status.find("SigBlk:\t0000000000000000\n"));
  EXPECT_EQ(SCHED_OTHER, sched_getscheduler(pid));
  const auto fds = list_dir(proc + "/fd");
  EXPECT_EQ(inheritable, std::set<std::string>(fds.begin(), fds.end()));
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  close(lock_fd);
  for (const auto& [fd, target] : open_descriptors())
    if (target == db) close(fd);
}

TEST_F(SpawnTest, FdWatchEndsItsProcessOnTheFourthOverLimitObservationInARow) {
  // With the limit lowered to 40 and filled: three calls at the limit, one
  // below (the count starts again), then four at it; each call that returns
  // prints its letter.
  const ChildResult r = run_in_child([] {
    const struct rlimit lim = {40, 40};
    if (setrlimit(RLIMIT_NOFILE, &lim) != 0) return 20;
    while (open("/dev/null", O_RDONLY | O_CLOEXEC) >= 0) {
    }
    close(39);  // the watch's own look at /proc/self/fd takes it: the count it sees is 40
    for (const char* s = "OOOUOOOO"; *s != '\0'; ++s) {
      if (*s == 'U') close(38), close(37);
      kiv_client_watch_process_fd(getpid());
      if (*s == 'U') (void)open("/dev/null", O_RDONLY | O_CLOEXEC), (void)open("/dev/null", O_RDONLY | O_CLOEXEC);
      printf("%c", *s);
      fflush(stdout);
    }
    return 0;
  });
  EXPECT_EQ(1, exit_code(r));
  EXPECT_EQ("OOOUOOO", r.output);
}

}  // namespace
}  // namespace kiv::test
