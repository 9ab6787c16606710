// Starting a child the vfork way: it borrows the caller's memory instead of
// copying it, so its cost does not grow with the caller's size.
#pragma once

#include <signal.h>
#include <sys/types.h>

namespace kiv {

// The child's body: runs in the new process, and either executes a program
// or returns the exit status with which the child then ends.
using SpawnBody = int (*)(void* arg);

// What the child does with the caller's signal dispositions.
enum class SpawnSignals {
  kKeepIgnored,  // caught ones back to SIG_DFL, ignored ones stay ignored
  kAllDefault,   // every one to SIG_DFL, as for a fully detached program
};

// Runs body(arg) in a new process made with clone(CLONE_VM | CLONE_VFORK)
// on a stack of its own. The contract:
//
// - The calling thread waits until the child has executed a program or
//   ended; then vfork_spawn returns the child's pid (-1 with errno when no
//   child could be made). The caller's other threads run on meanwhile.
// - The child shares the caller's memory, descriptors are copied as by
//   fork. body may therefore make async-signal-safe calls only
//   (signal-safety(7)): no heap, no stdio, no locks, no function of a
//   dlopen'd library, no pthread_* call (pthread_self() is the caller's
//   thread). glibc's execvp qualifies (it builds its paths on the stack, as
//   its posix_spawnp does); its setgroups and set*id wrappers do not (they
//   signal every thread of a threaded caller): call those through syscall().
// - body hands results back by writing to memory reachable from arg, which
//   the caller reads once vfork_spawn has returned. errno is the calling
//   thread's: vfork_spawn gives it back unchanged when a child was made.
// - Signals: all are blocked in the calling thread during the call. The
//   child starts with every caught signal set back to SIG_DFL (ignored
//   ones stay ignored, so an exec gives the same dispositions as after
//   fork; with kAllDefault they go back to SIG_DFL too) and then takes
//   child_mask (null: the caller's mask at the call), so no handler of the
//   caller ever runs in its memory from the child.
// - The child is an ordinary child of the caller: SIGCHLD when it ends,
//   reaped by waitpid. Returning from body ends it as _exit does: no
//   atexit handler runs and no stdio buffer is flushed.
// - In a ThreadSanitizer build the child is made by fork instead (the
//   runtime's per-thread state lives in the shared memory): it runs body on
//   a copy, hands nothing back, and the caller does not wait for the exec.
pid_t vfork_spawn(SpawnBody body, void* arg, const sigset_t* child_mask = nullptr,
                  SpawnSignals signals = SpawnSignals::kKeepIgnored);

}  // namespace kiv
