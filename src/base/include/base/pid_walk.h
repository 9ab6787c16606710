// The walks over directories whose entries are named by pids: /proc, and a
// VSD's member directory (one empty file per member pid). One rule says
// which names count, for every caller in the library and the tools: a
// non-empty run of decimal digits whose value is a positive pid that fits
// pid_t. Every other name is skipped, so "self", "0", "12a" or a number
// past the pid range are never read as (or cut down to) some other pid.
#pragma once

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#include "base/unique_dir.h"

namespace kiv {

// The pid a directory entry names, or 0 when the name is not a pid by the
// rule above.
pid_t pid_of_name(const char* name);

// Calls visit(pid) for every process entry of /proc, in directory order,
// until it returns false. Returns 0, or the errno of opening /proc
// (nothing visited then).
template <typename Visit>
int for_each_pid(Visit&& visit) {
  unique_dir d(opendir("/proc/"));
  if (!d.ok()) return errno;
  while (const struct dirent* e = readdir(d.get())) {
    const pid_t pid = pid_of_name(e->d_name);
    if (pid != 0 && !visit(pid)) break;
  }
  return 0;
}

// Calls visit(pid) for every member file of the member directory dir: an
// entry other than "." and ".." that is no directory (the pid database
// lives in one) and is named by a pid. An entry that can't be examined is
// passed to stat_failed(errno) and skipped: of unknown type, it is not
// trusted to be a member file. Returns 0, or the errno of opening dir.
template <typename Visit, typename StatFailed>
int for_each_member(const char* dir, Visit&& visit, StatFailed&& stat_failed) {
  unique_dir d(opendir(dir));
  if (!d.ok()) return errno;
  while (const struct dirent* e = readdir(d.get())) {
    const char* name = e->d_name;
    if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
    struct stat st;
    if (fstatat(dirfd(d.get()), name, &st, 0) != 0) {
      stat_failed(errno);
      continue;
    }
    if (S_ISDIR(st.st_mode)) continue;
    const pid_t pid = pid_of_name(name);
    if (pid != 0) visit(pid);
  }
  return 0;
}

}  // namespace kiv
