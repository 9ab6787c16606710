/* Operating-system primitives: the close-on-exec rule, the hex dumper, named
 * shared-memory records and inter-process mutex semaphores. */
#ifndef KIV_OS_H
#define KIV_OS_H

#include <stdint.h>

#include "kiv_comp_config.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Adds FD_CLOEXEC to fd's descriptor flags, keeping the others.
 * Returns 0, or -1 for a negative or invalid descriptor. */
KIV_API int kiv_os_set_fd_close_on_exec(int fd);

/* Prints len bytes at msg to stdout as a table of 16 bytes a row (offset,
 * hexadecimal, characters), whatever the debug levels; bytes that are not
 * graphic show as '.'. Null arguments or len 0 print one error line. The
 * result carries no status (it is 0). */
KIV_API int kiv_os_dump_msg(const char* prefix, const void* msg, uint32_t len);

/* A mapped named shared-memory object. The caller owns the storage. */
typedef struct kiv_os_record {
  char* path;    /* heap copy of the object's name */
  void* addr;    /* base of the shared mapping */
  uint32_t size; /* mapped length: the requested size up to whole pages */
} kiv_os_record;

/* Creates or attaches the shared-memory object name (mode 0777) and maps
 * size bytes, up to whole pages, into rec. Returns 0; -1 bad arguments;
 * -3 no memory; -4 shm_open failed; -5 page size or ftruncate failed;
 * -6 mmap failed. *err receives errno of a failed call, else 0. */
KIV_API int kiv_os_init_record_memory(const char* name, uint32_t size,
                                      kiv_os_record* rec, int* err);

/* Unmaps rec and removes the object's name; other mappings of the object
 * keep their contents, and the next init of the name starts a zero-filled
 * object. Once unmapped (results 0 and -8) the handle is emptied, so a
 * second close gives -7. Returns 0; -1 bad arguments; -7 munmap failed;
 * -8 shm_unlink failed. */
KIV_API int kiv_os_close_record_memory(kiv_os_record* rec, int* err);

/* Copies len bytes from (to) the start of the mapping. Return 0, or -1 for
 * bad arguments or len of 0 or above rec->size. */
KIV_API int kiv_os_read_record_memory(const kiv_os_record* rec, void* dst,
                                      uint32_t len);
KIV_API int kiv_os_write_record_memory(kiv_os_record* rec, const void* src,
                                       uint32_t len, int* err);

/* Creates (value 1) or attaches the mutex semaphore keyed by the existing
 * file path. Returns 0 with *sem_id set; -2 bad arguments; -3 ftok failed;
 * -4 semget failed; -5 attaching failed; -6 setting the value failed. */
KIV_API int kiv_os_init_mutex_sem(const char* path, int* sem_id);

/* Takes the lock, waiting while it is held. The kernel releases it when the
 * holder dies. A signal that interrupts the wait is followed by a pause of
 * one second and a new wait. Returns 0, or -7. */
KIV_API int kiv_os_lock_mutex_sem(int sem_id);

/* Releases the lock. Returns 0, or -8. */
KIV_API int kiv_os_unlock_mutex_sem(int sem_id);

#ifdef __cplusplus
}
#endif

#endif
