// The vfork-style child of the base layer: what it starts with, what it
// hands back, and what the caller keeps.
#include "base/spawn.h"

#include <errno.h>
#include <signal.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/child.h"
#include "support/fixture.h"

namespace kiv::test {
namespace {

class VforkSpawnTest : public SandboxTest {};

void on_signal(int) {}

// What the child saw of itself, written into the caller's memory.
struct Seen {
  struct sigaction action[_NSIG];
  sigset_t mask;
  pid_t pid;
};

int look(void* p) {
  Seen* seen = static_cast<Seen*>(p);
  for (int sig = 1; sig < _NSIG; ++sig) (void)sigaction(sig, nullptr, &seen->action[sig]);
  (void)sigprocmask(SIG_SETMASK, nullptr, &seen->mask);
  seen->pid = getpid();
  errno = EROFS;  // must not reach the caller
  return 7;
}

// Spawns look() with SIGUSR1 caught, SIGUSR2 ignored and SIGHUP blocked in
// the caller; child_mask null or the set of SIGTERM.
Seen spawn_and_look(bool own_mask, pid_t* pid, int* status, int* errno_after) {
  struct sigaction caught = {}, ignored = {}, old1, old2;
  caught.sa_handler = on_signal;
  ignored.sa_handler = SIG_IGN;
  sigaction(SIGUSR1, &caught, &old1);
  sigaction(SIGUSR2, &ignored, &old2);
  sigset_t hup, term, before;
  sigemptyset(&hup);
  sigaddset(&hup, SIGHUP);
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &hup, &before);

  Seen seen = {};
  errno = ENOTTY;
  *pid = vfork_spawn(look, &seen, own_mask ? &term : nullptr);
  *errno_after = errno;
  sigset_t after;
  pthread_sigmask(SIG_SETMASK, &before, &after);
  EXPECT_TRUE(sigismember(&after, SIGHUP) && !sigismember(&after, SIGTERM)) << "the caller's mask is back";
  sigaction(SIGUSR1, &old1, nullptr);
  sigaction(SIGUSR2, &old2, nullptr);
  if (*pid > 0) waitpid(*pid, status, 0);
  return seen;
}

TEST_F(VforkSpawnTest, ChildEndsWithTheBodysResultAndLeavesErrnoAlone) {
  pid_t pid = -1;
  int status = -1, err = 0;
  const Seen seen = spawn_and_look(false, &pid, &status, &err);
  ASSERT_GT(pid, 0);
  EXPECT_EQ(pid, seen.pid) << "the body ran in the child and wrote to the caller's memory";
  EXPECT_EQ(7, exit_code(status));
  EXPECT_EQ(ENOTTY, err);
}

TEST_F(VforkSpawnTest, ChildStartsWithoutTheCallersHandlers) {
  struct Row {
    int sig;
    sighandler_t in_child;
  };
  const Row rows[] = {
      {SIGUSR1, SIG_DFL},  // caught in the caller: its handler must not run on shared memory
      {SIGUSR2, SIG_IGN},  // ignored: stays ignored, as after fork
      {SIGTERM, SIG_DFL},  // default: unchanged
  };
  pid_t pid = -1;
  int status = -1, err = 0;
  const Seen seen = spawn_and_look(false, &pid, &status, &err);
  ASSERT_GT(pid, 0);
  for (const Row& r : rows) EXPECT_EQ(r.in_child, seen.action[r.sig].sa_handler) << strsignal(r.sig);
}

TEST_F(VforkSpawnTest, ChildTakesTheGivenMaskOrTheCallers) {
  struct Row {
    bool own_mask;
    int sig;
    bool blocked;
  };
  const Row rows[] = {
      {false, SIGHUP, true}, {false, SIGTERM, false},  // the caller's mask at the call
      {true, SIGHUP, false}, {true, SIGTERM, true},    // the one given
  };
  for (const Row& r : rows) {
    pid_t pid = -1;
    int status = -1, err = 0;
    const Seen seen = spawn_and_look(r.own_mask, &pid, &status, &err);
    ASSERT_GT(pid, 0);
    EXPECT_EQ(r.blocked, sigismember(&seen.mask, r.sig) == 1) << r.own_mask << " " << strsignal(r.sig);
  }
}

}  // namespace
}  // namespace kiv::test
