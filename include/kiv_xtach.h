/* What a supervised process asks of the Manager and of libkiv: the payloads
 * of its registration requests, spawning detached programs, and the watch
 * on its own descriptor count. */
#ifndef KIV_XTACH_H
#define KIV_XTACH_H

#include <assert.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include "kiv_comp_config.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Request payloads (wire format, host byte order, zero-filled) ---- */

#define KIV_CMDLINE_LEN 256  /* command-line field: text and its NUL */
#define KIV_REC_NAME_LEN 32  /* name field: "test-%d", pid modulo 20 */

/* Payload of the exit-action registration and time requests: 320 bytes. */
typedef struct kiv_exit_action_rec {
  int32_t pid;                    /* the registered process */
  uint32_t reserved0;
  int32_t vsd_id;                 /* VSD number of pid, 0 for the host */
  uint8_t reserved1[16];
  uint32_t time_val;              /* time requests only */
  char cmdline[KIV_CMDLINE_LEN];  /* as kiv_get_cmdline gives it, NUL-ended */
  char name[KIV_REC_NAME_LEN];    /* NUL-ended */
} kiv_exit_action_rec;

static_assert(sizeof(kiv_exit_action_rec) == 320, "kiv_exit_action_rec is 320 bytes");
static_assert(offsetof(kiv_exit_action_rec, pid) == 0, "pid at 0");
static_assert(offsetof(kiv_exit_action_rec, vsd_id) == 8, "vsd_id at 8");
static_assert(offsetof(kiv_exit_action_rec, time_val) == 28, "time_val at 28");
static_assert(offsetof(kiv_exit_action_rec, cmdline) == 32, "cmdline at 32");
static_assert(offsetof(kiv_exit_action_rec, name) == 288, "name at 288");

/* ---- Spawning and descriptor watch ---- */

/* Starts cmd ("path [arg...]", at most 127 characters and 14 words, split
 * at spaces and tabs) as a detached child: its own session, default signal
 * dispositions and scheduling, working directory "/", oom_adj 0. The whole
 * of cmd must name an existing file, so in practice it is a bare path.
 * Returns the child's pid, which the caller reaps; -1 when cmd is NULL or
 * no such file exists. Retries a failed fork every 5 s until one succeeds. */
KIV_API pid_t kiv_start_user_process(const char* cmd);

/* Compares the number of descriptors that pid holds with the calling
 * process's soft RLIMIT_NOFILE. On the fourth call in a row that finds the
 * count at or above the limit the calling process exits with status 1; a
 * call below the limit starts the count again. Meant to be called
 * periodically by a process on itself. */
KIV_API void kiv_client_watch_process_fd(pid_t pid);

#ifdef __cplusplus
}
#endif

#endif
