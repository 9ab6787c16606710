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
// The kernel's signal set: glibc's sigset_t is larger, and the raw calls
// reach the two signals glibc keeps for itself, which its own wrappers
// leave out.
constexpr size_t kKernelSigsetLen = _NSIG / 8;

struct Start {
  SpawnBody body;
  void* arg;
  sigset_t mask;  // the child's mask once its handlers are gone
  SpawnSignals signals;
};

// The kernel's struct sigaction, long enough for every layout. The handler
// comes first on every architecture the library builds for (MIPS puts the
// flags first); a zeroed rest is flags 0 and an empty mask wherever they
// sit. The raw call, not glibc's sigaction: a sanitizer's interceptor would
// record the change in tables the child shares with the caller.
struct KernelSigaction {
  unsigned long words[8];
};
#if defined(__mips__)
#error "KernelSigaction assumes the handler is the first field"
#endif

bool caught(const KernelSigaction& k) {
  const auto handler = reinterpret_cast<sighandler_t>(k.words[0]);
  return handler != SIG_DFL && handler != SIG_IGN;
}

void set_default(int sig) {
  KernelSigaction dfl = {};  // SIG_DFL is 0
  (void)syscall(SYS_rt_sigaction, sig, &dfl, nullptr, kKernelSigsetLen);
}

// Every disposition to SIG_DFL: one call per signal, no need to look first.
// SIGKILL and SIGSTOP refuse, harmlessly.
void all_default() {
  for (int sig = 1; sig < _NSIG; ++sig) set_default(sig);
}

// Caught signals to SIG_DFL; SIG_IGN needs nothing and survives exec as
// after fork.
void caught_default() {
  for (int sig = 1; sig < _NSIG; ++sig) {
    KernelSigaction old = {};
    if (syscall(SYS_rt_sigaction, sig, nullptr, &old, kKernelSigsetLen) == 0 && caught(old)) set_default(sig);
  }
}

int set_mask(const sigset_t* mask, sigset_t* old) {
  return static_cast<int>(syscall(SYS_rt_sigprocmask, SIG_SETMASK, mask, old, kKernelSigsetLen));
}

// First code of the child, every signal still blocked: a handler of the
// caller would run on the caller's memory, so none may be left before the
// mask opens.
int start(void* p) {
  const Start* s = static_cast<const Start*>(p);
  if (s->signals == SpawnSignals::kAllDefault) {
    all_default();
  } else {
    caught_default();
  }
  (void)set_mask(&s->mask, nullptr);
  return s->body(s->arg);
}

}  // namespace

pid_t vfork_spawn(SpawnBody body, void* arg, const sigset_t* child_mask, SpawnSignals signals) {
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
  s.signals = signals;
  sigset_t all;
  memset(&all, 0xff, sizeof all);
  sigset_t old;
  sigemptyset(&old);  // the kernel fills only its own part
  (void)set_mask(&all, &old);
  s.mask = child_mask != nullptr ? *child_mask : old;
  // Stacks grow down on every architecture the library is built for.
  char* top = static_cast<char*>(map) + page + kStackLen;
#if defined(__SANITIZE_THREAD__)
  // ThreadSanitizer keeps state of the calling thread (its deferred signals
  // among it) in memory that a child running there would change under it:
  // in such a build the child gets a copy, and hands nothing back.
  (void)top;
  const pid_t pid = fork();
  if (pid == 0) _exit(start(&s));
#else
  const pid_t pid = clone(start, top, CLONE_VM | CLONE_VFORK | SIGCHLD, &s);
#endif
  const int clone_errno = errno;
  (void)set_mask(&old, nullptr);
  (void)munmap(map, kStackLen + page);
  errno = pid > 0 ? saved_errno : clone_errno;
  return pid;
}

}  // namespace kiv
