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

using VforkSpawnTest = SandboxTest;

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

TEST_F(VforkSpawnTest, ChildStartsWithoutTheCallersHandlersUnderTheGivenMask) {
  // In the caller: SIGUSR1 caught, SIGUSR2 ignored, SIGHUP blocked.
  struct sigaction caught = {}, ignored = {}, old1, old2;
  caught.sa_handler = [](int) {};
  ignored.sa_handler = SIG_IGN;
  sigaction(SIGUSR1, &caught, &old1);
  sigaction(SIGUSR2, &ignored, &old2);
  sigset_t hup, term, before, after;
  sigemptyset(&hup);
  sigaddset(&hup, SIGHUP);
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &hup, &before);
  for (const sigset_t* child_mask : {static_cast<const sigset_t*>(nullptr), static_cast<const sigset_t*>(&term)}) {
    Seen seen = {};
    int status = -1;
    errno = ENOTTY;
    const pid_t pid = vfork_spawn(look, &seen, child_mask);
    EXPECT_EQ(ENOTTY, errno);
    ASSERT_GT(pid, 0);
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    EXPECT_EQ(7, exit_code(status));
    EXPECT_EQ(pid, seen.pid) << "the body ran in the child and wrote to the caller's memory";
    // Caught: the caller's handler must not run on shared memory. Ignored:
    // stays ignored, as after fork.
    EXPECT_EQ(SIG_DFL, seen.action[SIGUSR1].sa_handler);
    EXPECT_EQ(SIG_IGN, seen.action[SIGUSR2].sa_handler);
    EXPECT_EQ(SIG_DFL, seen.action[SIGTERM].sa_handler);
    // The caller's mask at the call, or the one given.
    EXPECT_EQ(child_mask == nullptr, sigismember(&seen.mask, SIGHUP) == 1);
    EXPECT_EQ(child_mask != nullptr, sigismember(&seen.mask, SIGTERM) == 1);
    pthread_sigmask(SIG_SETMASK, nullptr, &after);
    EXPECT_TRUE(sigismember(&after, SIGHUP) && !sigismember(&after, SIGTERM)) << "the caller's mask is back";
    struct sigaction now1, now2;
    sigaction(SIGUSR1, nullptr, &now1);
    sigaction(SIGUSR2, nullptr, &now2);
    EXPECT_TRUE(now1.sa_handler == caught.sa_handler && now2.sa_handler == SIG_IGN) << "the caller keeps its dispositions";
  }
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  sigaction(SIGUSR1, &old1, nullptr);
  sigaction(SIGUSR2, &old2, nullptr);
}

}  // namespace
}  // namespace kiv::test
