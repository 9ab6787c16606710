// Which VSD a process belongs to, and whether /sbin/ holds a program.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

#include "base/log.h"
#include "base/proc.h"
#include "base/unique_dir.h"
#include "base/unique_fd.h"
#include "base/vsd_paths.h"
#include "kiv_utils/proc_text.h"
#include "kiv_vsd.h"

namespace kiv {
namespace {

constexpr char kLogModule[] = "kiv_vsd";

// Whether name can be one entry's name of a directory listing: neither
// empty, nor "." or "..", nor holding a slash. A look-up of anything else
// would reach past the directory.
bool entry_name(const char* name) {
  return name[0] != '\0' && strcmp(name, ".") != 0 && strcmp(name, "..") != 0 &&
         strchr(name, '/') == nullptr;
}

// Whether the directory open as dir lists name.
int listed_in(unique_fd dir, const char* name) {
  unique_dir d(fdopendir(dir.get()));
  if (!d.ok()) return 0;
  (void)dir.release();  // closedir closes it now
  while (const struct dirent* e = readdir(d.get())) {
    if (strcmp(e->d_name, name) == 0) return 1;
  }
  return 0;
}

}  // namespace
}  // namespace kiv

using kiv::kLogModule;

int kiv::status_vsdid(FILE* f) {
  // An empty list of ids, or none, reads as 0.
  char line[kStatusLineLen];
  const int group = find_status_line(f, "Groups:", line)
                        ? static_cast<int>(strtol(status_value(line, "Groups:"), nullptr, 10))
                        : 0;
  // Any gid from 2^31 on reads as a negative int: subtract in a wider type.
  return static_cast<int>((static_cast<long>(group) - kiv::vsd::kGroupBase) / kiv::vsd::kGroupStep);
}

extern "C" int get_vsdid(pid_t pid) {
  char buf[kiv::kProcStreamLen];
  FILE* f = kiv::open_proc_status(pid, buf);
  if (f == nullptr) return -errno;
  const int vsd = kiv::status_vsdid(f);
  fclose(f);
  return vsd;
}

extern "C" int check_sbin(const char* name) {
  kiv::unique_fd sbin(open("/sbin/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!sbin.ok()) {
    const int err = errno;
    KIV_LOG("%s: opendir fail: %s\n", "check_sbin", strerror(err));
    return -err;
  }
  const kiv::ErrnoRestorer keep_errno;  // a missing entry is no error
  if (name == nullptr || !kiv::entry_name(name)) return 0;
  // The entry itself, not what a link names: a dangling link is listed too.
  struct stat st;
  if (fstatat(sbin.get(), name, &st, AT_SYMLINK_NOFOLLOW) == 0) return 1;
  if (errno == ENOENT || errno == ENAMETOOLONG) return 0;
  // A directory that may be read but not searched (EACCES), or a look-up
  // that failed for another reason: its listing still tells.
  return kiv::listed_in(std::move(sbin), name);
}
