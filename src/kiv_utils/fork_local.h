// State that a forked child must not take over from its parent, kept in one
// page that the kernel hands every child zeroed (MADV_WIPEONFORK), whatever
// made the child: fork(), _Fork(), clone() and syscall(SYS_fork) alike,
// where a pthread_atfork handler sees only the first.
#pragma once

#include <pthread.h>

namespace kiv {

struct ForkLocal {
  // kiv_rpc's lock. glibc's PTHREAD_MUTEX_INITIALIZER is all zero bits, so
  // a child finds it unlocked even when another thread of the parent held
  // it at the fork.
  pthread_mutex_t rpc_lock;
  // The alive table's mapping lock, for the same reason.
  pthread_mutex_t alive_init_lock;
  // The lock of the pid database's table of held descriptors, likewise.
  pthread_mutex_t db_held_lock;
  // Set by kiv_rpc once this process has let go of any connection it
  // inherited: the Manager knows a connection by the credentials of the
  // process that opened it.
  int rpc_socket_settled;
  // This process's number among the forks of its line; 0 until asked.
  unsigned generation;
};

// The calling process's page, mapped on first use; null when it cannot be
// mapped (no memory). On kernels without MADV_WIPEONFORK (before 4.14) only
// children of fork() find it zeroed.
ForkLocal* fork_local();

// A nonzero number that differs between a process and every child forked
// from it, read without a system call once the page is mapped; 0 when the
// page cannot be mapped.
unsigned fork_generation();

}  // namespace kiv
