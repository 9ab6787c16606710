// Reading a System V semaphore set's kernel record in tests.
#pragma once

#include <sys/sem.h>

#include "base/semun.h"

namespace kiv::test {

// The set's semid_ds (IPC_STAT); all zero when the set cannot be read.
inline struct semid_ds sem_stat(int id) {
  struct semid_ds ds = {};
  semun arg = {};
  arg.buf = &ds;
  if (semctl(id, 0, IPC_STAT, arg) != 0) ds = {};
  return ds;
}

}  // namespace kiv::test
