// kiv_start_user_process: the detached child as /proc shows it once it has
// executed its program, and the descriptors that must not reach it; and
// kiv_client_watch_process_fd ending its process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
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

// What the child of kiv_start_user_process(cmd) ran, from /proc once it runs
// sleep: its arguments, each followed by a space; else -1 or its exit status.
std::string spawned(const std::string& cmd) {
  const pid_t pid = kiv_start_user_process(cmd.c_str());
  const std::string proc = "/proc/" + std::to_string(pid);
  int status = 0;
  for (int i = 0; pid > 0 && i < 1000 && read_file(proc + "/comm") != "sleep\n"; ++i, usleep(5000))
    if (waitpid(pid, &status, WNOHANG) == pid) return "exit " + std::to_string(exit_code(status));
  std::string args = pid > 0 ? read_file(proc + "/cmdline") : std::to_string(pid);
  std::replace(args.begin(), args.end(), '\0', ' ');
  if (pid > 0) kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
  return args;
}

TEST_F(SpawnTest, CommandIsSplitAtBlanksIntoAtMostFourteenWordsOf127Characters) {
  std::string many = "/tmp/xt/sleep", fourteen;
  for (int i = 1; i <= 20; ++i) many += " " + std::to_string(i), fourteen = i == 13 ? many + " " : fourteen;
  const std::string cut = "/tmp/xt/sleep 30 " + std::string(130, '0');
  const struct {
    std::string cmd;
    bool file;  // a file of that whole name exists
    std::string ran;
  } rows[] = {
      {"/tmp/xt/sleep  30\t\t0 \t 0", true, "/tmp/xt/sleep 30 0 0 "},
      {many, true, fourteen},
      {cut, true, cut.substr(0, 127) + " "},
      {"/tmp/xt/sleep 31", false, "-1"},
      {"/tmp/xt/plain", true, "exit 1"},  // cannot be executed
  };
  ASSERT_EQ(0, system("mkdir -p /tmp/xt && ln -sf /bin/sleep /tmp/xt/sleep"));
  for (const auto& r : rows) {
    if (r.file) write_file(r.cmd);
    EXPECT_EQ(r.ran, spawned(r.cmd)) << r.cmd;
  }
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
