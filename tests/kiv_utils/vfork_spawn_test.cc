// The vfork-style child of the base layer: what it starts with and what the caller keeps.
#include "base/spawn.h"

#include <errno.h>
#include <signal.h>
#include <sys/wait.h>

#include "support/fixture.h"

namespace kiv::test {
namespace {

using VforkSpawnTest = SandboxTest;

struct Seen {  // the child's view of itself, written into the caller's memory
  void (*usr1)(int), (*usr2)(int);
  sigset_t mask;
};

int look(void* p) {
  Seen* seen = static_cast<Seen*>(p);
  struct sigaction a;
  seen->usr1 = sigaction(SIGUSR1, nullptr, &a) == 0 ? a.sa_handler : nullptr;
  seen->usr2 = sigaction(SIGUSR2, nullptr, &a) == 0 ? a.sa_handler : nullptr;
  (void)sigprocmask(SIG_SETMASK, nullptr, &seen->mask);
  errno = EROFS;  // must not reach the caller
  return 7;
}

TEST_F(VforkSpawnTest, ChildStartsWithoutTheCallersHandlersUnderTheGivenMask) {
  // A ThreadSanitizer build makes the child by fork: it shares no memory.
  if (kThreadSanitized) GTEST_SKIP() << "not under ThreadSanitizer";
  struct sigaction caught = {}, ignored = {}, old1, old2, now;
  caught.sa_handler = [](int) {};
  ignored.sa_handler = SIG_IGN;
  sigaction(SIGUSR1, &caught, &old1);
  sigaction(SIGUSR2, &ignored, &old2);
  const auto only = [](int sig) { sigset_t set; sigemptyset(&set); sigaddset(&set, sig); return set; };
  const sigset_t hup = only(SIGHUP), term = only(SIGTERM);
  sigset_t before, after;
  pthread_sigmask(SIG_BLOCK, &hup, &before);
  for (const sigset_t* mask : {static_cast<const sigset_t*>(nullptr), static_cast<const sigset_t*>(&term)}) {
    Seen seen = {};
    int status = -1;
    errno = ENOTTY;
    const pid_t pid = vfork_spawn(look, &seen, mask);
    EXPECT_EQ(ENOTTY, errno);
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    EXPECT_EQ(7, exit_code(status));
    // The caller's handler must not run on shared memory; ignored stays ignored, as after fork.
    EXPECT_TRUE(seen.usr1 == SIG_DFL && seen.usr2 == SIG_IGN);
    EXPECT_EQ(mask == nullptr, sigismember(&seen.mask, SIGHUP) == 1) << "the caller's mask, or the given one";
    EXPECT_EQ(mask != nullptr, sigismember(&seen.mask, SIGTERM) == 1);
    pthread_sigmask(SIG_SETMASK, nullptr, &after);
    EXPECT_TRUE(sigismember(&after, SIGHUP) && !sigismember(&after, SIGTERM)) << "the caller's mask is back";
    sigaction(SIGUSR1, nullptr, &now);
    EXPECT_EQ(caught.sa_handler, now.sa_handler) << "the caller keeps its handler";
  }
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  sigaction(SIGUSR1, &old1, nullptr);
  sigaction(SIGUSR2, &old2, nullptr);
}

}  // namespace
}  // namespace kiv::test
