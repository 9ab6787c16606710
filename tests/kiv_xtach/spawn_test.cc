// kiv_start_user_process: the detached child as /proc shows it once it has
// executed its program, its arguments and the descriptors that must not
// reach it; and kiv_client_watch_process_fd ending its process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>

#include "kiv_xtach.h"
#include "support/child.h"
#include "support/files.h"
#include "support/fixture.h"

namespace kiv::test {
namespace {

using SpawnTest = SandboxTest;

// What the child of kiv_start_user_process(cmd) is once it runs sleep: its
// arguments, each followed by a space, its descriptors, and any way in which
// it is not detached with defaults; else -1, or how it ended.
std::string spawned(const std::string& cmd) {
  const pid_t pid = kiv_start_user_process(cmd.c_str());
  const std::string proc = "/proc/" + std::to_string(pid);
  std::string out, st;  // the command line: the caller's until the exec, empty for a moment in it
  for (int i = 0, status = 0; pid > 0 && i < 1000 && (out = read_file(proc + "/cmdline")).rfind("/tmp/xt/", 0) != 0;
       ++i, usleep(5000))
    if (waitpid(pid, &status, WNOHANG) == pid) return "exit " + std::to_string(exit_code(status));
  if (pid <= 0) return std::to_string(pid);
  out += "fds", st = read_file(proc + "/status");
  std::replace(out.begin(), out.end(), '\0', ' ');
  for (const auto& fd : list_dir(proc + "/fd")) out += " " + fd;
  char cwd[64] = {};
  if (readlink((proc + "/cwd").c_str(), cwd, sizeof cwd - 1) != 1 || cwd[0] != '/') out += ", not in /";
  if (getsid(pid) != pid) out += ", in our session";
  if (st.find("SigIgn:\t0000000000000000\n") == std::string::npos) out += ", a signal ignored";
  if (st.find("SigBlk:\t0000000000000000\n") == std::string::npos) out += ", a signal blocked";
  if (sched_getscheduler(pid) != SCHED_OTHER) out += ", real-time";
  kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
  return out;
}

TEST_F(SpawnTest, ChildIsDetachedWithDefaultsAndRunsTheCommandSplitAtBlanks) {
  // The words of the first 127 characters (the cap on their number is the
  // shared word splitter's); the whole command must name a file, and the
  // child of a program that can't be executed ends with 1.
  std::string fds = "fds";
  for (const auto& [fd, target] : open_descriptors())  // those of ours that an exec keeps
    if ((fcntl(fd, F_GETFD) & FD_CLOEXEC) == 0) fds += " " + std::to_string(fd);
  const std::string cut = "/tmp/xt/sleep 30 " + std::string(130, '0');
  const struct {
    std::string cmd, child;
    bool file;  // a file of that whole name exists
  } rows[] = {
      {"/tmp/xt/sleep  30\t\t0 \t 0", "/tmp/xt/sleep 30 0 0 " + fds, true},
      {cut, cut.substr(0, 127) + " " + fds, true},
      {"/tmp/xt/sleep 31", "-1", false},
      {"/tmp/xt/plain", "exit 1", true},
  };
  ASSERT_EQ(0, system("mkdir -p /tmp/xt && ln -sf /bin/sleep /tmp/xt/sleep"));
  // What a child would otherwise inherit: an ignored signal, a working
  // directory, a real-time policy and the SIGCHLD block of the fork. (That the
  // library's own descriptors are close-on-exec is their modules' tests'.)
  signal(SIGUSR1, SIG_IGN);
  const struct sched_param rt = {1}, normal = {0};
  (void)pthread_setschedparam(pthread_self(), SCHED_FIFO, &rt);
  const int here = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_EQ(0, chdir("/tmp/xt"));
  for (const auto& r : rows) {
    if (r.file) write_file(r.cmd);
    EXPECT_EQ(r.child, spawned(r.cmd)) << r.cmd;
  }
  ASSERT_EQ(0, fchdir(here));
  close(here);
  pthread_setschedparam(pthread_self(), SCHED_OTHER, &normal);
  signal(SIGUSR1, SIG_DFL);
  sigset_t now;
  pthread_sigmask(SIG_SETMASK, nullptr, &now);
  EXPECT_FALSE(sigismember(&now, SIGCHLD)) << "the caller's mask is restored";
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
      printf("%c", *s), fflush(stdout);
    }
    return 0;
  });
  EXPECT_EQ(1, exit_code(r));
  EXPECT_EQ("OOOUOOO", r.output);
}

}  // namespace
}  // namespace kiv::test
