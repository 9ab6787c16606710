// The page of fork-local state: mapped once per process line, zeroed in
// every child.
#include "kiv_utils/fork_local.h"

#include <pthread.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

namespace kiv {
namespace {

constinit ForkLocal* g_fork_local = nullptr;
// Ordinary memory, so a child starts from its parent's count and numbers
// itself above every number its line has used.
constinit unsigned g_last_generation = 0;

// Kernels before 4.14 lack MADV_WIPEONFORK: there the page is zeroed by
// a pthread_atfork handler, which fork() runs and _Fork() and clone() skip.
void wipe_in_child() {
  if (g_fork_local != nullptr) memset(g_fork_local, 0, sizeof *g_fork_local);
}

}  // namespace

ForkLocal* fork_local() {
  ForkLocal* page = __atomic_load_n(&g_fork_local, __ATOMIC_ACQUIRE);
  if (page != nullptr) return page;
  const size_t size = static_cast<size_t>(getpagesize());
  void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return nullptr;
  // The handler is in place before the page is published: no fork can come
  // between a filled page and its wiping. Two first callers may both add
  // one; wiping twice does no harm.
  if (madvise(p, size, MADV_WIPEONFORK) != 0 && pthread_atfork(nullptr, nullptr, wipe_in_child) != 0) {
    (void)munmap(p, size);
    return nullptr;
  }
  // Two first callers at once: one page wins, the other is given back.
  if (!__atomic_compare_exchange_n(&g_fork_local, &page, static_cast<ForkLocal*>(p), false,
                                   __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) {
    (void)munmap(p, size);
    return page;
  }
  return static_cast<ForkLocal*>(p);
}

unsigned fork_generation() {
  ForkLocal* page = fork_local();
  if (page == nullptr) return 0;
  unsigned g = __atomic_load_n(&page->generation, __ATOMIC_ACQUIRE);
  if (g != 0) return g;
  unsigned next;
  do {
    next = __atomic_add_fetch(&g_last_generation, 1, __ATOMIC_RELAXED);
  } while (next == 0);
  // Another thread of a new child may number the process first.
  if (__atomic_compare_exchange_n(&page->generation, &g, next, false, __ATOMIC_ACQ_REL,
                                  __ATOMIC_ACQUIRE)) {
    return next;
  }
  return g;
}

}  // namespace kiv
