// What the VSD module's files share among themselves; nothing here is
// exported from the library.
#pragma once

#include <sys/types.h>

#include "base/unique_fd.h"

namespace kiv {

// Removes path: a file or symbolic link is unlinked, a directory emptied
// as far as it can be and removed. Links are never followed and no other
// mount is entered (a mount point inside stays, -EXDEV), so the removal
// stays inside the tree it was given even while others change it. Returns
// 0, or the negated errno of the last entry that resisted (of the final
// rmdir when that failed).
int delete_dir(const char* path);

// Creates path empty when missing (O_RDWR | O_CREAT, mode 0754), without
// truncating it, and closes it. Returns 0 or the negated errno.
int touch_file(const char* path);

// The file-system service's fs_set_vsd_envs, loaded from its platform
// library on first use. Returns the service's result when it succeeded, or
// the negated errno of its failure; a library or symbol that can't be loaded
// fails the same way, with one line printed whatever the debug levels.
int fs_set_vsd_envs(int vsd_no);

// Loads the file-system service library now, so that a child forked next
// does not run the dynamic loader (dlopen after fork in a threaded process
// is not safe). Loads at most once per process.
void preload_fs_service();

// Creates a member file for every process of /proc/ that belongs to VSD
// vsd_no. Failures are logged.
void save_vsdinfo(int vsd_no);

// The first half of reassociate_netns_to_vsd, with its log lines: opens
// VSD vsd_no's namespace file (close-on-exec) for a setns that may then be
// made in a child. Returns the descriptor, not ok() after its line.
unique_fd open_vsd_netns(int vsd_no);

// The line of reassociate_netns_to_vsd for a setns that failed with err.
void log_setns_fail(int err);

// Flushes standard output before fork or exec: a forked child would write
// out the parent's pending lines again, and exec drops what is pending.
void flush_stdout();

}  // namespace kiv
