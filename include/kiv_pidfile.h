/* Pid database files: the record, kept locked by the registering process,
 * of who asked the Manager for an exit action; and the VSD member files. */
#ifndef KIV_PIDFILE_H
#define KIV_PIDFILE_H

#include "kiv_comp_config.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The registration record, defined with the registration calls in
 * kiv_xtach.h; this module only reads it. */
struct kiv_exit_action_rec;

/* Database kinds written for exit-action type 1 and for every other type. */
#define KIV_DB_KIND_RESTART 2
#define KIV_DB_KIND_OTHER 3

/* Formats the database path of (vsd, pid) into dst: the program name is
 * the base name of cmdline's first word (at most 255 characters). Returns
 * the length of the whole path, as snprintf does, even when dst was too
 * small for it; -1 for a NULL cmdline, a NULL dst with size > 0, or a
 * negative size. */
KIV_API int kiv_get_db_file_name(int vsd, int pid, const char* cmdline, char* dst, int size);

/* Writes the database file of (vsd, pid): "pid\nkind\ncmdline", mode 0777
 * before the umask, and write-locks it; the locked descriptor stays open
 * (close-on-exec) for the life of the process. Writing the same file again
 * goes through that descriptor: one per file however often it is written.
 * Returns 0 when the file was opened, even if the lock was refused; -1 when
 * it can't be opened (no such directory, path longer than 255 characters,
 * NULL cmdline). */
KIV_API int kiv_db_create(int vsd, int pid, int kind, const char* cmdline);

/* Removes the database file of (vsd, pid). Returns the unlink() result
 * (0 or -1), -1 for a NULL cmdline. */
KIV_API int kiv_db_destroy(int vsd, int pid, const char* cmdline);

/* Reads a database file: *pid, *kind, and into dst (cut to size) the
 * command line from its first '/'. Only the first 255 bytes of the file
 * count. Returns 0; -1 for NULL arguments, size < 1, a file that can't be
 * opened or read, a malformed file, or one without a '/'. */
KIV_API int kiv_db_read(const char* path, int* pid, int* kind, char* dst, int size);

/* Creates the empty member file of pid in VSD vsd's member directory;
 * nothing for VSD 0. Failures are silent. */
KIV_API void save_vsd_flag(int vsd, int pid);

/* Writes the database file for a registration record of exit-action type
 * (kind KIV_DB_KIND_RESTART for type 1, else KIV_DB_KIND_OTHER) and, on
 * success, the member file. Returns the kiv_db_create result; -1 for a
 * NULL record. */
KIV_API int kiv_mk_pidfile(const struct kiv_exit_action_rec* rec, int type);

#ifdef __cplusplus
}
#endif

#endif
