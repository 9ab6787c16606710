// The vfork-style child: clone(2) with CLONE_VM | CLONE_VFORK on a stack of
// its own, signals kept away from the shared memory until it has no
// handler of the caller left.
#include "base/spawn.h"

#include <errno.h>
#include <sched.h>
#include <signal.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace kiv {
namespace {

// Room for execvp's path building and its ENOEXEC fallback argument
// vector, which glibc keeps on the stack, and for the bodies' own frames.
constexpr size_t kStackLen = 64 * 1024;
// The kernel's signal set: glibc's sigset_t is larger, and the raw call
// reaches the two signals glibc keeps for itself, which its own wrappers
// leave out.
constexpr size_t kKernelSigsetLen = _NSIG / 8;

struct Start {
  SpawnBody body;
  void* arg;
  sigset_t mask;  // the child's mask once its handlers are gone
};

int set_mask(const sigset_t* mask, sigset_t* old) {
  return static_cast<int>(syscall(SYS_rt_sigprocmask, SIG_SETMASK, mask, old, kKernelSigsetLen));
}

// First code of the child, every signal still blocked. A handler of the
// caller would run on the caller's memory, so each caught signal goes back
// to SIG_DFL; SIG_IGN needs nothing and survives exec as after fork.
int start(void* p) {
  const Start* s = static_cast<const Start*>(p);
  for (int sig = 1; sig < _NSIG; ++sig) {
    struct sigaction sa;
    if (sigaction(sig, nullptr, &sa) != 0) continue;  // glibc's own two
    if (sa.sa_handler == SIG_DFL || sa.sa_handler == SIG_IGN) continue;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = SIG_DFL;
    (void)sigaction(sig, &sa, nullptr);
  }
  (void)set_mask(&s->mask, nullptr);
  return s->body(s->arg);
}

}  // namespace

pid_t vfork_spawn(SpawnBody body, void* arg, const sigset_t* child_mask) {
  const int saved_errno = errno;
  const size_t page = static_cast<size_t>(getpagesize());
  // A guard page below the stack: an overflow faults in the child instead
  // of writing over whatever the caller has mapped there.
  void* map = mmap(nullptr, kStackLen + page, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK | MAP_NORESERVE, -1, 0);
  if (map == MAP_FAILED) return -1;
  if (mprotect(map, page, PROT_NONE) != 0) {
    const int err = errno;
    (void)munmap(map, kStackLen + page);
    errno = err;
    return -1;
  }

  Start s;
  s.body = body;
  s.arg = arg;
  sigset_t all;
  memset(&all, 0xff, sizeof all);
  sigset_t old;
  sigemptyset(&old);  // the kernel fills only its own part
  (void)set_mask(&all, &old);
  s.mask = child_mask != nullptr ? *child_mask : old;
  // Stacks grow down on every architecture the library is built for.
  char* top = static_cast<char*>(map) + page + kStackLen;
  const pid_t pid = clone(start, top, CLONE_VM | CLONE_VFORK | SIGCHLD, &s);
  const int clone_errno = errno;
  (void)set_mask(&old, nullptr);
  (void)munmap(map, kStackLen + page);
  errno = pid > 0 ? saved_errno : clone_errno;
  return pid;
}

}  // namespace kiv
