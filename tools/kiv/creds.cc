// Process credentials from /proc, and taking them on in a child.
#include "creds.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>

#include "base/proc.h"
#include "base/unique_fd.h"
#include "procs.h"

namespace kiv::manager {

namespace {

// Where the value of a "Key:" line of a /proc status text begins.
const char* field(const char* text, const char* key) {
  const char* p = strstr(text, key);
  return p == nullptr ? nullptr : p + strlen(key);
}

}  // namespace

bool Credentials::has_group(gid_t g) const { return std::find(groups.begin(), groups.end(), g) != groups.end(); }

bool read_credentials(pid_t pid, int pidfd, Credentials* out) {
  // Groups: holds at most NGROUPS_MAX (65536) numbers, in practice a few;
  // the lines needed come early, before the memory and signal fields.
  char text[4096];
  if (kiv::read_proc_file(pid, "status", text, sizeof text) < 0) return false;
  const char* uid = field(text, "\nUid:");
  const char* gid = field(text, "\nGid:");
  const char* groups = field(text, "\nGroups:");
  if (uid == nullptr || gid == nullptr || groups == nullptr) {
    errno = EIO;
    return false;
  }
  Credentials c;
  c.known = true;
  c.uid = static_cast<uid_t>(strtoul(uid, nullptr, 10));
  c.gid = static_cast<gid_t>(strtoul(gid, nullptr, 10));
  for (const char* p = groups; *p != '\n' && *p != '\0';) {
    char* end = nullptr;
    const unsigned long g = strtoul(p, &end, 10);
    if (end == p) break;
    c.groups.push_back(static_cast<gid_t>(g));
    p = end;
  }
  // The text just read belongs to the pinned task only if that task still
  // lives: had it ended, the number might already name another one.
  if (pidfd_ended(pidfd)) {
    errno = ESRCH;
    return false;
  }
  *out = std::move(c);
  return true;
}

std::vector<gid_t> groups_with(const Credentials& c, gid_t extra_group) {
  std::vector<gid_t> groups = c.groups;
  if (extra_group != 0 && !c.has_group(extra_group)) groups.push_back(extra_group);
  return groups;
}

bool become(const Credentials& c, const gid_t* groups, size_t count) {
  if (!c.known) return false;
  // Groups before gid before uid: once the uid is not 0 the other two can
  // no longer be changed.
  return syscall(SYS_setgroups, count, groups) == 0 && syscall(SYS_setresgid, c.gid, c.gid, c.gid) == 0 &&
         syscall(SYS_setresuid, c.uid, c.uid, c.uid) == 0;
}

}  // namespace kiv::manager
