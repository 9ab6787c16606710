/* The Manager's control semaphore: one System V semaphore that counts the
 * client processes that announced themselves (each raise carries an undo
 * entry, so a client's count goes when it dies), and the switch file. */
#ifndef KIV_SEM_H
#define KIV_SEM_H

#include "kiv_comp_config.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The file whose ftok key (project id 1) names the semaphore set. */
#define KIV_SEM_KEY_FILE "/tmp/.kiv_semphore_path"
/* The switch file: its presence alone carries its meaning. */
#define KIV_SEM_SWITCH_FILE "/data/.kill_debug"

/* Commands of kiv_client_control_thread_notify. */
#define KIV_SEM_CMD_INCREASE 0      /* raise the count by 1, with undo */
#define KIV_SEM_CMD_CREATE_SWITCH 1 /* create the switch file */
#define KIV_SEM_CMD_DECREASE 2      /* lower the count by 1, with undo, never waiting */
#define KIV_SEM_CMD_DELETE_SWITCH 3 /* remove the switch file */

/* The semaphore-set id once this process has created or found the set;
 * -1 before. */
KIV_API extern int g_kiv_sem_id;

/* Creates the key file and the set (one semaphore, 0754, count 0).
 * Returns 0 when the set was created or already existed (its count is then
 * left alone); -1 on failure. */
KIV_API int kiv_sem_init(void);

/* Returns the set's id, attaching to an existing set (never creating it);
 * -1 when there is none. */
KIV_API int kiv_get_sem_id(void);

/* Returns the current count, or -1. */
KIV_API int kiv_get_semval(void);

/* Runs one KIV_SEM_CMD_* command. Returns 0; -1 when the semaphore cannot
 * be found or changed (decreasing a count of 0 fails at once) or the switch
 * file cannot be created; -2 for an unknown command. */
KIV_API int kiv_client_control_thread_notify(unsigned int cmd);

#ifdef __cplusplus
}
#endif

#endif
