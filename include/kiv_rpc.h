/* The control-socket frame and the request/acknowledge call to the Manager. */
#ifndef KIV_RPC_H
#define KIV_RPC_H

#include <stdint.h>

#include "kiv_comp_config.h"

#ifdef __cplusplus
extern "C" {
#endif

#define KIV_MSG_HDR_LEN 268
#define KIV_MSG_NAME_LEN 256

/* Request types of the control socket. */
#define KIV_MSG_RESTART 1       /* restart the process on exit */
#define KIV_MSG_SHELL_RESTART 2 /* run a shell command on exit */
#define KIV_MSG_THREAD_REG 3    /* supervise a thread */
#define KIV_MSG_THREAD_BEAT 4   /* heartbeat of a thread outside the table */
#define KIV_MSG_CANCEL 5        /* withdraw a registration */

/* One frame is one packet: this header, then msg_len payload bytes. */
typedef struct kiv_msg {
  uint32_t msg_type;
  int32_t msg_len;
  char msg_name[KIV_MSG_NAME_LEN];
  uint32_t msg_reserved;
  unsigned char msg_data[]; /* msg_len bytes */
} kiv_msg;

/* Sends one complete frame on a connected socket without blocking and
 * without SIGPIPE. Returns 0, or -1 (bad arguments, full buffer, gone peer). */
KIV_API int kiv_inner_send_msg(int sd, const kiv_msg* msg);

/* Receives one frame into a new heap block that the caller frees.
 * Returns 0 with *msg set; -1 otherwise (*msg untouched). */
KIV_API int kiv_inner_recv_msg(int sd, kiv_msg** msg);

/* Sends a request of the given type, name (may be NULL) and payload to the
 * Manager over the process's cached control socket, reconnecting when
 * needed, and with need_ack waits up to 5 s for its acknowledgement.
 * Returns 0 on success, also when no acknowledgement came, while the
 * Manager's exit marker exists, and for types 3 and 5 from the Manager's
 * own process; -1 on failure. An unreachable Manager gives 0 with
 * ignore_conn_err set, else -1. */
KIV_API int kiv_rpc(uint32_t type, const char* name, const void* data,
                    uint32_t len, uint8_t need_ack, uint8_t ignore_conn_err);

#ifdef __cplusplus
}
#endif

#endif
