/* VSDs: numbered virtual device partitions (1 to 15) made of a directory
 * tree, a supplementary group that marks the member processes, cgroups and
 * a network namespace. Results are 0 on success unless a function says
 * otherwise; most failures are negated errno values. */
#ifndef KIV_VSD_H
#define KIV_VSD_H

#include <sys/types.h>

#include "kiv_comp_config.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Identity ---------------------------------------------------------- */

/* The VSD number of process pid: (first supplementary group - 3000) / 100,
 * truncated toward zero. A member of VSD n gives n; 2901..3099 give 0; no
 * supplementary group gives -30. Callers take every result below 1 as the
 * host. Returns the negated errno when the process's status file can't be
 * opened (-2 for a process that is gone). */
KIV_API int get_vsdid(pid_t pid);

/* Returns 1 when /sbin/ has an entry named exactly name, 0 when not, the
 * negated errno when /sbin/ can't be opened. */
KIV_API int check_sbin(const char* name);

/* ---- Network namespaces ------------------------------------------------ */

/* Moves the calling process (which must be single-threaded, and pid must be
 * its own id) into a new network namespace and pins it by bind-mounting
 * /proc/pid/ns/net on the new empty file dir/name. Returns 0; -2 for a null
 * dir or name; -1 when a step fails (among them: the file exists and
 * carries an earlier mount). */
KIV_API int create_netns(const char* dir, const char* name, pid_t pid);

/* create_netns on the VSD's namespace file, making its netns directory
 * first when missing. Returns 0, or -1 (vsd_no outside 1..15, or a step
 * failed). */
KIV_API int create_netns_for_vsd(int vsd_no);

/* Unmounts (a failure is only logged) and removes the VSD's namespace file.
 * Returns 0, or -1 for vsd_no outside 1..15 or a file that can't be removed. */
KIV_API int delete_netns_for_vsd(int vsd_no);

/* Moves the calling thread into the VSD's pinned namespace. Returns 0, or
 * -1 when the file can't be opened, entered or closed. */
KIV_API int reassociate_netns_to_vsd(int vsd_no);

/* ---- Creation ---------------------------------------------------------- */

/* Creates VSD vsd_no and runs its start scripts (/etc/rc.d/rc.vsd/) in a
 * child that carries the VSD's group, environment, working directory and a
 * new network namespace; once they have finished, records every member
 * process with a member file. Returns -1 for vsd_no outside 1..15, else 0
 * (failures inside the child are only logged). */
KIV_API int create_vsd(int vsd_no);

/* ---- Cgroup placement and memory watch --------------------------------- */

/* ---- Launch into a VSD ------------------------------------------------- */

/* Gives the calling process the VSD's file-system service settings, its
 * environment variables, working directory and supplementary group. Stops
 * silently at the first step that fails. Changes process-wide state. */
KIV_API void set_proc_env(int vsd_no);

/* Turns the calling process into the command of cmdline (split in place at
 * blanks and tabs, at most 14 words) inside VSD vsd_no: a program of /sbin/
 * when is_script is 0, else the shell script /etc/cmdmap/NAME.sh (first word
 * with a slash) or /etc/cmdmap/NAME run by /bin/sh. Does not return on
 * success; returns -1, or the negated errno when the member file can't be
 * created. */
KIV_API int restart_proc_to_vsd(char* cmdline, int vsd_no, int is_script);

/* Starts /sbin/prog_name detached inside VSD vsd_no. Returns 0 once a child
 * carries the launch (also when fork fails), -1 for a null name or vsd_no
 * outside 1..15. Ends the calling process with exit(1) when the VSD's
 * directory doesn't exist. */
KIV_API int create_proc_to_vsd(const char* prog_name, int vsd_no);

/* ---- Teardown and reload ----------------------------------------------- */

/* Signals every process whose supplementary groups line holds the decimal
 * text of group_id (a substring test). Returns 0, or the negated errno when
 * /proc/ can't be opened. */
KIV_API int kill_proc_by_groups(int sig, int group_id);

/* Each takes at least 15 s: SIGTERM to the members, 5 s, SIGKILL, 10 s.
 * delete_vsd then removes the namespace and every tree of the VSD; stop_vsd
 * the trees under /tmp/vsd and /etc/vsd and the cgroups; reload_vsd the
 * trees under /tmp/vsd and /etc/vsd, then creates the VSD again. Return 0;
 * -1 for delete_vsd of a number outside 1..15; the negated errno when the
 * teardown marker can't be created or /proc/ can't be scanned; delete_vsd
 * returns the failure of the namespace removal. */
KIV_API int delete_vsd(int vsd_no);
KIV_API int stop_vsd(int vsd_no);
KIV_API int reload_vsd(int vsd_no);

/* Prints the recorded members of every VSD. Returns 0. */
KIV_API int show_vsd(void);

/* Removes the VSD's trees under /tmp/vsd, /etc/vsd and /data/var/run/vsd,
 * signalling nothing. Returns 0. */
KIV_API int delete_vsd_file(int vsd_no);

/* ---- Device-monitor and debug markers ---------------------------------- */

/* Creates /etc/dev_mon when missing. Returns 0, or the negated errno. */
KIV_API int dev_mon_restart(void);

/* Returns 0 when /etc/dev_mon exists and can be opened for writing, else
 * the negated errno. Changes nothing. */
KIV_API int del_dev_mon_log(void);

/* Removes /etc/dev_mon. Returns 0 when it existed, else the negated errno
 * of opening it (-ENOENT when missing). */
KIV_API int del_dev_mon_restart(void);

/* Returns 0 when /etc/debug_log exists and can be opened for writing, else
 * the negated errno. */
KIV_API int debug_log(void);

#ifdef __cplusplus
}
#endif

#endif
