/* What a supervised process asks of the Manager and of libkiv: the payloads
 * of its registration requests, spawning detached programs, and the watch
 * on its own descriptor count. */
#ifndef KIV_XTACH_H
#define KIV_XTACH_H

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

KIV_STATIC_ASSERT(sizeof(kiv_exit_action_rec) == 320, "kiv_exit_action_rec is 320 bytes");
KIV_STATIC_ASSERT(offsetof(kiv_exit_action_rec, pid) == 0, "pid at 0");
KIV_STATIC_ASSERT(offsetof(kiv_exit_action_rec, vsd_id) == 8, "vsd_id at 8");
KIV_STATIC_ASSERT(offsetof(kiv_exit_action_rec, time_val) == 28, "time_val at 28");
KIV_STATIC_ASSERT(offsetof(kiv_exit_action_rec, cmdline) == 32, "cmdline at 32");
KIV_STATIC_ASSERT(offsetof(kiv_exit_action_rec, name) == 288, "name at 288");

/* Kinds of kiv_cancel_req. */
#define KIV_CANCEL_PROCESS 0 /* withdraw a process's exit action */
#define KIV_CANCEL_THREAD 1  /* withdraw a thread's watchdog */

/* Payload of the withdrawal request (message type 5): 8 bytes. */
typedef struct kiv_cancel_req {
  uint32_t kind; /* KIV_CANCEL_PROCESS or KIV_CANCEL_THREAD */
  int32_t id;    /* the pid, or the thread id */
} kiv_cancel_req;

KIV_STATIC_ASSERT(sizeof(kiv_cancel_req) == 8, "kiv_cancel_req is 8 bytes");
KIV_STATIC_ASSERT(offsetof(kiv_cancel_req, kind) == 0, "kind at 0");
KIV_STATIC_ASSERT(offsetof(kiv_cancel_req, id) == 4, "id at 4");

/* The two watch-parameter sets a thread registration sends: the first for
 * an odd time argument, the second for an even one. */
#define KIV_WATCH_ODD_PARAM 4
#define KIV_WATCH_ODD_PERIOD 180
#define KIV_WATCH_EVEN_PARAM 5
#define KIV_WATCH_EVEN_PERIOD 120

/* Payload of the thread registration and heartbeat requests (message types
 * 3 and 4): 320 bytes. */
typedef struct kiv_thread_notify_rec {
  int32_t tid;          /* the thread's kernel id */
  int32_t pid;          /* its process */
  uint32_t reserved0;
  int32_t watch_param1; /* KIV_WATCH_ODD_PARAM or KIV_WATCH_EVEN_PARAM */
  int32_t watch_param2; /* the same as watch_param1 */
  int32_t watch_param3; /* KIV_WATCH_ODD_PERIOD or KIV_WATCH_EVEN_PERIOD */
  uint8_t reserved1[296];
} kiv_thread_notify_rec;

KIV_STATIC_ASSERT(sizeof(kiv_thread_notify_rec) == 320, "kiv_thread_notify_rec is 320 bytes");
KIV_STATIC_ASSERT(offsetof(kiv_thread_notify_rec, tid) == 0, "tid at 0");
KIV_STATIC_ASSERT(offsetof(kiv_thread_notify_rec, pid) == 4, "pid at 4");
KIV_STATIC_ASSERT(offsetof(kiv_thread_notify_rec, watch_param1) == 12, "watch_param1 at 12");
KIV_STATIC_ASSERT(offsetof(kiv_thread_notify_rec, watch_param2) == 16, "watch_param2 at 16");
KIV_STATIC_ASSERT(offsetof(kiv_thread_notify_rec, watch_param3) == 20, "watch_param3 at 20");
KIV_STATIC_ASSERT(offsetof(kiv_thread_notify_rec, reserved1) == 24, "reserved1 at 24");

/* ---- Exit actions and their withdrawal ---- */

/* Exit-action types, sent as the request's message type. */
#define KIV_EXIT_RESTART 1       /* restart the process when it exits */
#define KIV_EXIT_SHELL_RESTART 2 /* run a shell command when it exits */

/* In these calls a pid of 0 stands for the calling process; the type is
 * passed on unchanged, whatever its value. */

/* Asks the Manager to act on the exit of pid: records pid, its VSD number
 * and command line, writes the pid database file (and inside a VSD the
 * member file), and sends the request with acknowledgement, up to 30
 * times one second apart. Returns 0, also when every attempt failed; -1
 * for a negative pid. Blocks for up to about three minutes. */
KIV_API int reg_process_exit_action(int pid, uint32_t type);

/* As reg_process_exit_action, but the request carries shell_path (may be
 * NULL) as its name and "test-N" (N = pid % 20), and is sent once, without
 * acknowledgement. Returns the kiv_rpc result; -1 for a negative pid. */
KIV_API int reg_process_exit_action_shell(int pid, uint32_t type, const char* shell_path);

/* reg_process_exit_action with type 1 when keyword begins with
 * "KIV_RESTART", type 2 when it begins with "KIV_SHELL_RESTART" (the case
 * counts). Returns its result; -1 for any other keyword or NULL. */
KIV_API int reg_third_part_process_exit_action(int pid, const char* keyword);

/* Sends a time value for pid (with "test-N", N = pid % 20) once, without
 * acknowledgement; reads no file and writes none. Returns the kiv_rpc
 * result; -1 for a negative pid. */
KIV_API int kiv_time_set(int pid, uint32_t type, uint32_t time_val);

/* Withdraws pid's exit action: removes its pid database file (found from
 * its present command line) and sends the withdrawal with
 * acknowledgement, up to 30 times one second apart. Returns the last
 * kiv_rpc result (0 on success, negative when all attempts failed); -1
 * for a negative pid. Always takes at least one second. */
KIV_API int kiv_cancel_proc(int pid);

/* ---- Thread watchdog ---- */

/* A thread calls these for itself: pid must be getpid() and tid its own
 * kernel thread id; pid must be > 0 and tid, watch_time and watch_count
 * nonzero. Of watch_time only its parity reaches the Manager (odd and even
 * presets above); watch_count does not reach it. Other arguments give -1
 * and a log line, and nothing is sent. */

/* Places the calling thread under the Manager's watchdog (message type 3,
 * acknowledged), up to 30 attempts one second apart. Returns 0, -1 for
 * refused arguments, or the last kiv_rpc result (-1) when every attempt
 * failed. */
KIV_API int kiv_client_reg_thread_notify(int pid, int tid, int watch_time, int watch_count);

/* Makes the whole process ignore SIGABRT for good (also when the
 * arguments are refused), then does kiv_client_reg_thread_notify. */
KIV_API int kiv_client_reg_thread_notify_no_proc(int pid, int tid, int watch_time, int watch_count);

/* The heartbeat. While tid is listed in "/data/.kiv_lib_debug_pid" (one id
 * a line) nothing happens. A tid the alive table has no entry for
 * (>= 163840) sends one type-4 request without acknowledgement. A
 * registered tid advances its sequence byte in the alive table and makes
 * no system call but the access() of the list; an unregistered one is
 * registered with kiv_client_reg_thread_notify. Returns 0; -1 for refused
 * arguments; else the result of the table update or of the registration. */
KIV_API int kiv_client_reset_thread_notify(int pid, int tid, int watch_time, int watch_count);

/* Withdraws the watchdog of any thread tid (message type 5, acknowledged,
 * one attempt). Returns 0 whatever the Manager says; -1 for tid 0. */
KIV_API int kiv_client_unreg_thread_notify(int tid);

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
