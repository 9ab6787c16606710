// File helpers of the VSD module: tree removal, empty marker files, and
// the stdout flush around fork and exec.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kiv_vsd/vsd_internal.h"
#include "kiv_utils/unique_fd.h"

namespace kiv {
namespace {

constexpr size_t kChildPathLen = 320;
constexpr mode_t kFileMode = 0754;

}  // namespace

int delete_dir(const char* path) {
  struct stat st;
  // lstat: a symbolic link is removed as a link. Following it would carry
  // the removal into whatever it points to, outside the tree.
  if (lstat(path, &st) != 0) return -errno;
  if (!S_ISDIR(st.st_mode)) return unlink(path) == 0 ? 0 : -errno;

  DIR* d = opendir(path);
  if (d == nullptr) return -errno;
  int result = 0;
  while (const struct dirent* e = readdir(d)) {
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    char child[kChildPathLen] = {};
    const int n = snprintf(child, sizeof child, "%s/%s", path, e->d_name);
    if (n < 0 || static_cast<size_t>(n) >= sizeof child) {
      // A cut path would name some other file: leave the entry alone.
      result = -ENAMETOOLONG;
      continue;
    }
    const int r = delete_dir(child);
    if (r < 0) result = r;
  }
  if (closedir(d) != 0) return -errno;
  if (rmdir(path) != 0) return -errno;
  return result;
}

int touch_file(const char* path) {
  unique_fd fd(open(path, O_RDWR | O_CREAT | O_CLOEXEC, kFileMode));
  return fd.ok() ? 0 : -errno;
}

void flush_stdout() { (void)fflush(stdout); }

}  // namespace kiv
