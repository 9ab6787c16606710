// Mutex semaphores: a System V set of one semaphore keyed by a file, used as
// a lock between processes. SEM_UNDO makes the kernel release the lock of a
// holder that dies.
#include <errno.h>
#include <sys/ipc.h>
#include <sys/sem.h>

#include "base/semun.h"
#include "kiv_os.h"
#include "kiv_utils.h"

namespace kiv {
namespace {

constexpr int kProjectId = 1;

int semop_one(int sem_id, short delta) {
  struct sembuf op = {};
  op.sem_num = 0;
  op.sem_op = delta;
  op.sem_flg = SEM_UNDO;
  return semop(sem_id, &op, 1);
}

}  // namespace
}  // namespace kiv

extern "C" int kiv_os_init_mutex_sem(const char* path, int* sem_id) {
  if (path == nullptr || sem_id == nullptr) return -2;
  const key_t key = ftok(path, kiv::kProjectId);
  if (key == -1) return -3;
  *sem_id = semget(key, 1, IPC_CREAT | IPC_EXCL | 0777);
  if (*sem_id >= 0) {
    // Until this SETVAL the new set reads 0, so a process that attached in
    // between waits in its first lock rather than entering.
    kiv::semun arg = {};
    arg.val = 1;
    if (semctl(*sem_id, 0, SETVAL, arg) == -1) {
      (void)semctl(*sem_id, 0, IPC_RMID);
      return -6;
    }
    return 0;
  }
  if (errno != EEXIST) return -4;
  *sem_id = semget(key, 1, 0);
  if (*sem_id == -1) return -5;
  return 0;
}

extern "C" int kiv_os_lock_mutex_sem(int sem_id) {
  // semop(2) is never restarted after a signal handler, whatever SA_RESTART
  // says; the wait is taken up again after a pause.
  while (kiv::semop_one(sem_id, -1) != 0) {
    if (errno != EINTR) return -7;
    (void)safe_sleep(1);
  }
  return 0;
}

extern "C" int kiv_os_unlock_mutex_sem(int sem_id) {
  return kiv::semop_one(sem_id, 1) == 0 ? 0 : -8;
}
