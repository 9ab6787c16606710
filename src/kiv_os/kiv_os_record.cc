// Record memory: a named POSIX shared-memory object mapped whole pages,
// read-write and shared, with copies in and out of its start.
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include "base/unique_fd.h"
#include "kiv_os.h"

namespace kiv {
namespace {

// A handle that failed holds nothing usable; nulling it keeps a later read,
// write or close from touching memory it never owned.
void forget(kiv_os_record* rec) {
  rec->path = nullptr;
  rec->addr = nullptr;
  rec->size = 0;
}

// The object's name goes even when another process created it: its
// mappings stay, and the next initialization starts a fresh object.
int fail_opened(kiv_os_record* rec, int* err, int code) {
  *err = errno;
  (void)shm_unlink(rec->path);
  free(rec->path);
  forget(rec);
  return code;
}

}  // namespace
}  // namespace kiv

extern "C" int kiv_os_init_record_memory(const char* name, uint32_t size, kiv_os_record* rec,
                                         int* err) {
  if (name == nullptr || size == 0 || rec == nullptr || err == nullptr) return -1;
  *err = 0;
  const size_t name_len = strlen(name);
  rec->path = static_cast<char*>(malloc(name_len + 1));
  if (rec->path == nullptr) {
    kiv::forget(rec);
    return -3;
  }
  memcpy(rec->path, name, name_len + 1);

  // shm_open always sets O_CLOEXEC on Linux; the descriptor is only needed
  // until the mapping exists.
  kiv::unique_fd fd(shm_open(name, O_RDWR | O_CREAT | O_CLOEXEC, 0777));
  if (!fd.ok()) {
    *err = errno;
    free(rec->path);
    kiv::forget(rec);
    return -4;
  }
  const long page = sysconf(_SC_PAGESIZE);
  if (page <= 0) return kiv::fail_opened(rec, err, -5);
  const uint64_t pages = (static_cast<uint64_t>(size) + static_cast<uint64_t>(page) - 1) /
                         static_cast<uint64_t>(page);
  const uint64_t length = pages * static_cast<uint64_t>(page);
  if (length > UINT32_MAX) {
    errno = EOVERFLOW;
    return kiv::fail_opened(rec, err, -5);
  }
  // A new object grows zero-filled; one of this length already is unchanged.
  int rc;
  do {
    rc = ftruncate(fd.get(), static_cast<off_t>(length));
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return kiv::fail_opened(rec, err, -5);
  rec->size = static_cast<uint32_t>(length);
  void* addr = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
  if (addr == MAP_FAILED) return kiv::fail_opened(rec, err, -6);
  rec->addr = addr;
  return 0;
}

extern "C" int kiv_os_close_record_memory(kiv_os_record* rec, int* err) {
  if (rec == nullptr || err == nullptr) return -1;
  *err = 0;
  if (munmap(rec->addr, rec->size) != 0) {
    *err = errno;
    return -7;
  }
  // Unlinking removes only the name: processes that still map the object
  // keep its contents, and the next shm_open of the name creates anew.
  int code = 0;
  if (rec->path == nullptr) {
    *err = EINVAL;
    code = -8;
  } else if (shm_unlink(rec->path) != 0) {
    *err = errno;
    code = -8;
  }
  // The mapping is gone either way; a second close must not unmap whatever
  // the kernel has since placed at the old address.
  free(rec->path);
  kiv::forget(rec);
  return code;
}

extern "C" int kiv_os_read_record_memory(const kiv_os_record* rec, void* dst, uint32_t len) {
  if (dst == nullptr || len == 0 || rec == nullptr || len > rec->size) return -1;
  memcpy(dst, rec->addr, len);
  return 0;
}

extern "C" int kiv_os_write_record_memory(kiv_os_record* rec, const void* src, uint32_t len,
                                          int* err) {
  if (src == nullptr || len == 0 || rec == nullptr || err == nullptr || len > rec->size) return -1;
  *err = 0;
  memcpy(rec->addr, src, len);
  return 0;
}
