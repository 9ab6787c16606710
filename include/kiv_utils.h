/* Sleeps, allocation, whole reads and writes, and process facts from /proc. */
#ifndef KIV_UTILS_H
#define KIV_UTILS_H

#include <stddef.h>
#include <stdint.h>
#include <sys/time.h>
#include <sys/types.h>

#include "kiv_comp_config.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Sleeps the given seconds (microseconds), resuming after interruptions for
 * the time that remained. Returns 0, or the errno value of a failure other
 * than EINTR. */
KIV_API int safe_sleep(int seconds);
KIV_API int safe_usleep(int microseconds);

/* Returns n zeroed bytes, to be released with free(). Never returns NULL:
 * while memory is short it waits 5 s and tries again. */
KIV_API void* safe_malloc(size_t n);

/* Returns 0 while the Manager's exit marker KIV_STATUS_FILE exists, else -1. */
KIV_API int kiv_get_proc_status(void);

/* Reads (writes) exactly n bytes unless end of file comes first, repeating
 * interrupted calls. Returns the bytes moved (fewer than n only at end of
 * file), 0 for n == 0, -1 on error even when some bytes were moved. */
KIV_API ssize_t safe_read(int fd, void* buf, size_t n);
KIV_API ssize_t safe_write(int fd, const void* buf, size_t n);

/* Writes len bytes at offset 0 of the existing file path (no creation, no
 * truncation). Returns the safe_write result, or -1 when path can't be opened. */
KIV_API ssize_t safe_write_path(const char* path, const void* buf, int len);

/* Reads at most size - 1 bytes of path into buf and NUL-terminates them.
 * Returns the bytes read; -1 when the file can't be opened (buf untouched)
 * or read (buf empty). */
KIV_API ssize_t kiv_read_to_buf(const char* path, char* buf, int size);

/* Writes the command line of pid into buf: the real path of its executable,
 * then its second and later arguments, each after one space (an empty
 * argument gives an empty place; trailing ones leave no space); a line
 * feed in an argument ends the text. A buffer too small for the path, a
 * space and one character gets the path alone, cut to size - 1 bytes.
 * Returns 0; -1 for a NULL buf or size 0 (nothing written), and for size
 * 1 or an executable link that can't be read (buf empty); -2 when the arguments filled the buffer (the
 * text that fitted is kept). */
KIV_API int kiv_get_cmdline(pid_t pid, char* buf, size_t size);

/* Returns the Tgid of a task: a thread's process id, a process's own id;
 * -1 when the task is gone. */
KIV_API int kiv_get_ppid_form_pid(pid_t id);

/* Copies the task's Name (at most n - 1 characters) into dst. Returns 0,
 * or -1 for bad arguments or a task that is gone. */
KIV_API int kiv_get_pid_name(pid_t id, char* dst, int n);

/* Returns 0 while pid lives (not a zombie, not dead); -1 after three
 * failed looks 10 ms apart. */
KIV_API int process_life(pid_t pid);

/* Exempts pid from out-of-memory killing (oom_adj -17) or restores the
 * neutral value (0). Return the bytes written (5 and 3), or -1. */
KIV_API int kiv_ignore_lmk(pid_t pid);
KIV_API int kiv_reset_lmk(pid_t pid);

/* Takes the single-instance lock file path: creates it (mode 0700), locks
 * it and writes the process id. Returns the descriptor that holds the lock,
 * to be kept open, or -1 when the file can't be opened or is locked. */
KIV_API int already_running(const char* path);

/* Seconds of the monotonic clock. */
KIV_API int64_t kiv_get_time(void);

/* Fills tv from the monotonic clock (microseconds truncated) and returns
 * it; returns NULL for NULL. */
KIV_API struct timeval* kiv_get_timeval(struct timeval* tv);

#ifdef __cplusplus
}
#endif

#endif
