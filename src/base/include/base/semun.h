// The argument of semctl(2), which every caller must define itself.
#pragma once

#include <sys/sem.h>

namespace kiv {

union semun {
  int val;
  struct semid_ds* buf;
  unsigned short* array;
};

}  // namespace kiv
