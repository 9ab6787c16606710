// The Manager's control semaphore: created once for the device, raised and
// lowered with undo entries by the clients, and the switch file.
#include "kiv_sem.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <unistd.h>

#include "base/log.h"
#include "base/semun.h"
#include "base/unique_fd.h"
#include "kiv_utils.h"

extern "C" {
int g_kiv_sem_id = -1;
}

namespace kiv {
namespace {

constexpr char kLogModule[] = "kiv_sem";
constexpr int kProjectId = 1;
constexpr int kSemPerms = 0754;

int cached_id() { return __atomic_load_n(&g_kiv_sem_id, __ATOMIC_RELAXED); }
void cache_id(int id) { __atomic_store_n(&g_kiv_sem_id, id, __ATOMIC_RELAXED); }

// ENOMEM means the kernel lacked memory for the undo entry: wait and retry.
int change_count(int sem_id, short delta) {
  struct sembuf op = {};
  op.sem_num = 0;
  op.sem_op = delta;
  op.sem_flg = SEM_UNDO | IPC_NOWAIT;
  for (;;) {
    if (semop(sem_id, &op, 1) == 0) return 0;
    if (errno != ENOMEM && errno != EINTR) return -1;
    if (errno == ENOMEM) (void)safe_sleep(1);
  }
}

int raise_or_lower(unsigned int cmd) {
  const int id = kiv_get_sem_id();
  if (id == -1) {
    KIV_LOG("kiv get semid failed!\n");
    return -1;
  }
  if (cmd == KIV_SEM_CMD_INCREASE) {
    if (change_count(id, 1) != 0) {
      KIV_LOG("Increase kiv semaphore failed: %s.", strerror(errno));
      return -1;
    }
    KIV_LOG("Increase kiv sem_cnt, pid is %d, ppid is %d.\n", getpid(), getppid());
    return 0;
  }
  if (change_count(id, -1) != 0) {
    KIV_LOG("Decrease kiv semaphore failed: %s.", strerror(errno));
    return -1;
  }
  KIV_LOG("Decrease kiv sem_cnt.\n");
  return 0;
}

int create_switch() {
  if (access(KIV_SEM_SWITCH_FILE, F_OK) != 0) {
    FILE* f = fopen(KIV_SEM_SWITCH_FILE, "w+e");
    if (f == nullptr) return -1;
    (void)fclose(f);
  }
  KIV_LOG("Create switch file.\n");
  return 0;
}

int delete_switch() {
  if (access(KIV_SEM_SWITCH_FILE, F_OK) == 0) (void)unlink(KIV_SEM_SWITCH_FILE);
  KIV_LOG("Delete switch file.\n");
  return 0;
}

}  // namespace
}  // namespace kiv

using kiv::kLogModule;

extern "C" int kiv_sem_init(void) {
  {
    kiv::unique_fd fd(open(KIV_SEM_KEY_FILE, O_RDWR | O_CREAT | O_CLOEXEC, kiv::kSemPerms));
    if (!fd.ok()) {
      KIV_LOG("Open file %s failed: %s.", KIV_SEM_KEY_FILE, strerror(errno));
      return -1;
    }
  }
  const key_t key = ftok(KIV_SEM_KEY_FILE, kiv::kProjectId);
  if (key == -1) {
    KIV_LOG("Get sem file key failed: %s.", strerror(errno));
    return -1;
  }
  const int id = semget(key, 1, IPC_CREAT | IPC_EXCL | kiv::kSemPerms);
  if (id == -1) {
    if (errno == EEXIST) {
      KIV_LOG("System kiv semaphore already inited.");
      return 0;
    }
    KIV_LOG("Get kiv sem on init failed: %s.", strerror(errno));
    return -1;
  }
  kiv::cache_id(id);
  kiv::semun arg = {};
  arg.val = 0;
  if (semctl(id, 0, SETVAL, arg) == -1) {
    KIV_LOG("Set kiv sem initial value failed: %s.", strerror(errno));
    (void)semctl(id, 0, IPC_RMID);
    return -1;
  }
  return 0;
}

extern "C" int kiv_get_sem_id(void) {
  const int cached = kiv::cached_id();
  if (cached != -1) return cached;
  key_t key;
  while ((key = ftok(KIV_SEM_KEY_FILE, kiv::kProjectId)) == -1) {
    if (errno != ENOMEM) {
      KIV_LOG("Get sem file key failed: %s.", strerror(errno));
      return -1;
    }
    (void)safe_sleep(1);
  }
  const int id = semget(key, 1, 0);
  if (id == -1) {
    KIV_LOG("Get kiv sem failed: %s.", strerror(errno));
    return -1;
  }
  kiv::cache_id(id);
  return id;
}

extern "C" int kiv_get_semval(void) {
  const int id = kiv_get_sem_id();
  if (id == -1) {
    KIV_LOG("kiv get semid failed!\n");
    return -1;
  }
  const int value = semctl(id, 0, GETVAL);
  if (value == -1) {
    KIV_LOG("Get kiv sem count failed: %s.", strerror(errno));
    return -1;
  }
  return value;
}

extern "C" int kiv_client_control_thread_notify(unsigned int cmd) {
  switch (cmd) {
    case KIV_SEM_CMD_INCREASE:
    case KIV_SEM_CMD_DECREASE:
      return kiv::raise_or_lower(cmd);
    case KIV_SEM_CMD_CREATE_SWITCH:
      return kiv::create_switch();
    case KIV_SEM_CMD_DELETE_SWITCH:
      return kiv::delete_switch();
    default:
      return -ENOENT;
  }
}
