/* VSDs: numbered virtual device partitions (1 to 15) made of a directory
 * tree, a supplementary group that marks the member processes, cgroups and
 * a network namespace. Results are 0 on success unless a function says
 * otherwise; most failures are negated errno values. */
#ifndef KIV_VSD_H
#define KIV_VSD_H

#include <stdint.h>
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

/* Slots of the per-VSD memory tables: VSD numbers 0 (the host) to 15. */
#define KIV_VSD_SLOTS 16

/* Creates the VSD's memory and cpu cgroups (/memory/vsd_N/, /cpu/vsd_N/)
 * when missing and moves every process named in its member directory into
 * both. Always returns 0: failures are only logged. Changes the process's
 * working directory while it runs ("/" afterwards when all went well), so
 * no other thread may rely on relative paths meanwhile. */
KIV_API int set_cgroups_all(int vsd_no);

/* Sets the VSD's hard and then its soft memory limit to kib KiB. Returns 0,
 * or the negated errno of the first write that failed (the cgroup doesn't
 * exist yet, or the kernel refused the value); a refused hard limit leaves
 * the soft one unchanged. */
KIV_API int set_mem_group(int vsd_no, unsigned long long kib);

/* Sets the VSD's cpu weight in tenths of the default share: the kernel's
 * cpu.shares becomes weight * 1024 / 10 (10 gives the default 1024).
 * Returns 0 or the negated errno. */
KIV_API int set_cpu_group(int vsd_no, unsigned int weight);

/* The memory watch's tables, KiB per VSD number. mem_use_rss holds the
 * result of the last completed poll: for VSDs 1..15 the sum of their
 * processes' resident memory outside shared libraries, their limit when
 * that sum was over it (a member was killed), or 0 when the VSD has no
 * directory or no limit; slot 0 is everything else. array_rss is the
 * running poll's scratch table, zero between polls. Not locked: one poll
 * at a time. */
KIV_API extern uint64_t mem_use_rss[KIV_VSD_SLOTS];
KIV_API extern uint64_t array_rss[KIV_VSD_SLOTS];

/* One poll of the memory watch: measures every process of /proc (pausing
 * 100 ms after each), kills with SIGKILL the member with the largest
 * resident set of every VSD whose sum exceeds its cgroup hard limit, and
 * publishes the sums in mem_use_rss. Blocks for the whole poll. */
KIV_API void set_vsd_mem(void);

/* Slot vsd_no of the last completed poll, in KiB; 0 outside 0..15. */
KIV_API uint64_t vsd_use_mem(int vsd_no);

/* Adds the Rss values (KiB) of the mappings listed in the smaps file at
 * smaps_path, leaving out those whose header line holds "/lib", to
 * table[vsd_no] (table[0] for a negative vsd_no; nothing for 16 and up).
 * Returns 0, the negated errno when the file can't be opened, -EINVAL for
 * a null path or table. */
KIV_API int get_vsd_mem(const char* smaps_path, int vsd_no, uint64_t* table);

/* The VSD's cgroup hard memory limit in KiB; 0 for VSD 0 or when it can't
 * be read. */
KIV_API uint64_t get_maxmem_set(int vsd_no);

/* Kills with SIGKILL the member (named by a member file) with the largest
 * VmRSS, the first in directory order on a tie. Kills nothing when no
 * member has resident memory or the member directory can't be opened. */
KIV_API void find_max_rss(int vsd_no);

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
