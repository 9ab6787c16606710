/* The alive table: a shared-memory object holding, for each task id below
 * KIV_ALIVE_PID_MAX, a registration bit and a one-byte liveness sequence.
 * A registered thread beats by advancing its own byte (a plain store); the
 * table's owner compares the bytes over time. */
#ifndef KIV_SYS_ALIVE_H
#define KIV_SYS_ALIVE_H

#include <stddef.h>
#include <stdint.h>

#include "kiv_comp_config.h"
#include "kiv_os.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The shared-memory object and its file in the shm file system. */
#define KIV_ALIVE_SHM_NAME "/UTILS-kiv-shm-001"
#define KIV_ALIVE_SHM_FILE "/dev/shm/UTILS-kiv-shm-001"
/* Task ids 0 to KIV_ALIVE_PID_MAX - 1 have an entry. */
#define KIV_ALIVE_PID_MAX 163840
/* Bytes of the table; the object is this taken up to whole pages. */
#define KIV_ALIVE_SHM_SIZE 184356
/* The bitmap covers every id and one more byte that stands for none. */
#define KIV_ALIVE_BITS_BYTES (KIV_ALIVE_PID_MAX / 8 + 1)

/* The table as it lies in shared memory (offsets from the mapping's start).
 * Reserved bytes are neither read nor written by the library. */
typedef struct kiv_alive_table {
  uint8_t reserved0[8];
  /* Written (KIV_ALIVE_SHM_SIZE) by the master's clear; never read. */
  uint32_t table_size;
  uint8_t reserved1[20];
  /* Id i is registered while bit i % 8 of alive_bits[i / 8] is 1. */
  uint8_t alive_bits[KIV_ALIVE_BITS_BYTES];
  /* Per id: 0 while free, 1 on registration, then +1 a beat, 255 -> 1. */
  uint8_t alive_seq[KIV_ALIVE_PID_MAX];
  uint8_t reserved2[3];
} kiv_alive_table;

KIV_STATIC_ASSERT(sizeof(kiv_alive_table) == KIV_ALIVE_SHM_SIZE, "alive table is 184356 bytes");
KIV_STATIC_ASSERT(offsetof(kiv_alive_table, table_size) == 8, "table_size at 8");
KIV_STATIC_ASSERT(offsetof(kiv_alive_table, alive_bits) == 32, "alive_bits at 32");
KIV_STATIC_ASSERT(offsetof(kiv_alive_table, alive_seq) == 20513, "alive_seq at 20513");
KIV_STATIC_ASSERT(offsetof(kiv_alive_table, reserved2) == 184353, "fill at 184353");

/* This process's mapping of the table: the record handle, then the table,
 * which stays NULL until this process has mapped it. */
typedef struct kiv_alive_info {
  kiv_os_record record;
  kiv_alive_table* table;
} kiv_alive_info;

KIV_API extern kiv_alive_info g_kiv_alive_info;

/* Maps the table into this process (creating the object, zero-filled, if
 * need be, and making it mode 0777). A master (is_master 1) also clears
 * the table, once in the life of the process. Returns 0; the negative
 * result of kiv_os_init_record_memory when mapping failed; -1 when the
 * first mapping's permission change failed (the table is usable anyway). */
KIV_API int kiv_sys_init_alive_info(int is_master);

/* The per-entry operations take a task id below KIV_ALIVE_PID_MAX; any
 * other id is refused with -1. Except kiv_sys_isreg_alive_info, they need
 * the table mapped in this process already and return -1 otherwise. */

/* Marks id registered, its sequence 1. Returns 0 or -1. */
KIV_API int kiv_sys_reg_alive_info(int id);

/* Returns 1 when id is registered; 0 when not, for a bad id, or when the
 * table cannot be mapped (it maps the table on first use). */
KIV_API int kiv_sys_isreg_alive_info(int id);

/* Marks id free, its sequence 0. Returns 0 or -1. */
KIV_API int kiv_sys_unreg_alive_info(int id);

/* Advances id's sequence (255 is followed by 1) whether or not it is
 * registered. Returns 0 or -1. Makes no system call. */
KIV_API int kiv_sys_update_alive_seq(int id);

/* Returns id's sequence, 0 to 255, or -1. */
KIV_API int kiv_sys_get_alive_seq(int id);

#ifdef __cplusplus
}
#endif

#endif
