// File helpers of the VSD module: tree removal, empty marker files, and
// the stdout flush around fork and exec.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

#include "base/unique_fd.h"
#include "kiv_utils.h"
#include "kiv_vsd/vsd_internal.h"

#ifndef STATX_MNT_ID
#define STATX_MNT_ID 0x1000U  // Linux 5.8; older C libraries lack the name
#endif

namespace kiv {
namespace {

constexpr size_t kPathLen = 320;
constexpr mode_t kFileMode = 0754;
// As deep as a 320-byte path can reach with one-character names: deeper
// entries are left alone, and the recursion's stack stays bounded whatever
// a hostile neighbour builds in a world-writable tree.
constexpr int kMaxDepth = kPathLen / 2;
constexpr size_t kFdinfoPathLen = 40;
constexpr size_t kFdinfoLen = 512;

// Where a tree lives: the removal never leaves that mount.
struct Mount {
  uint32_t dev_major;
  uint32_t dev_minor;
  uint64_t mnt_id;  // 0 when the kernel does not tell
};

Mount mount_of(const struct statx& st) {
  return {st.stx_dev_major, st.stx_dev_minor, (st.stx_mask & STATX_MNT_ID) != 0 ? st.stx_mnt_id : 0};
}

bool same_mount(const Mount& a, const Mount& b) {
  if (a.dev_major != b.dev_major || a.dev_minor != b.dev_minor) return false;
  // A bind mount of the same file system has the same device: only the
  // mount id tells it apart.
  return a.mnt_id == 0 || b.mnt_id == 0 || a.mnt_id == b.mnt_id;
}

// The mount of the directory open as fd. Kernels before 5.8 (and emulators
// that pass the mask on but not the value) leave statx's mount id out; the
// "mnt_id:" line of /proc/self/fdinfo (Linux 3.15) tells it then.
Mount mount_of_open(int fd, const struct statx& st) {
  Mount m = mount_of(st);
  if (m.mnt_id != 0) return m;
  char path[kFdinfoPathLen];
  (void)snprintf(path, sizeof path, "/proc/self/fdinfo/%d", fd);
  char text[kFdinfoLen];
  if (kiv_read_to_buf(path, text, sizeof text) <= 0) return m;
  const char* line = strstr(text, "\nmnt_id:");
  unsigned long long id = 0;
  if (line != nullptr && sscanf(line + 1, "mnt_id: %llu", &id) == 1) m.mnt_id = id;
  return m;
}

int remove_at(int parent, const char* name, const Mount* tree, int depth);

// Removes every entry of the open directory dir; returns 0 or the last
// entry's negated errno. Takes dir over.
int empty_dir(unique_fd dir, const Mount& tree, int depth) {
  DIR* d = fdopendir(dir.get());
  if (d == nullptr) return -errno;
  (void)dir.release();  // closedir closes it now
  int result = 0;
  while (const struct dirent* e = readdir(d)) {
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    const int r = remove_at(dirfd(d), e->d_name, &tree, depth + 1);
    if (r < 0) result = r;
  }
  if (closedir(d) != 0) return -errno;
  return result;
}

// Removes the entry name of the directory open as parent. Every step is
// relative to a descriptor and no link is followed: an entry swapped for a
// link between two steps is removed as a link or refused, never entered.
// tree is null for the top of the tree, which sets the mount to stay on.
int remove_at(int parent, const char* name, const Mount* tree, int depth) {
  if (depth > kMaxDepth) return -ENAMETOOLONG;
  struct statx st;
  if (statx(parent, name, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, STATX_TYPE | STATX_MNT_ID, &st) != 0) {
    return -errno;
  }
  // unlinkat without AT_REMOVEDIR refuses a directory (EISDIR) that was
  // swapped in meanwhile.
  if (!S_ISDIR(st.stx_mode)) return unlinkat(parent, name, 0) == 0 ? 0 : -errno;
  if (tree != nullptr && !same_mount(mount_of(st), *tree)) return -EXDEV;  // a mount point stays, unentered

  unique_fd dir(openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!dir.ok()) return -errno;
  // What was opened, not what was looked at before: it may have changed.
  if (statx(dir.get(), "", AT_EMPTY_PATH, STATX_TYPE | STATX_MNT_ID, &st) != 0) return -errno;
  const Mount opened = mount_of_open(dir.get(), st);
  const Mount here = tree != nullptr ? *tree : opened;
  if (!same_mount(opened, here)) return -EXDEV;
  int result = empty_dir(std::move(dir), here, depth);
  if (unlinkat(parent, name, AT_REMOVEDIR) != 0) result = -errno;
  return result;
}

}  // namespace

int delete_dir(const char* path) {
  char buf[kPathLen];
  const int n = snprintf(buf, sizeof buf, "%s", path);
  if (n < 0 || static_cast<size_t>(n) >= sizeof buf) return -ENAMETOOLONG;
  size_t len = static_cast<size_t>(n);
  while (len > 1 && buf[len - 1] == '/') buf[--len] = '\0';
  char* slash = strrchr(buf, '/');
  const char* name = slash != nullptr ? slash + 1 : buf;
  if (*name == '\0' || strcmp(name, ".") == 0 || strcmp(name, "..") == 0) return -EINVAL;
  // The directories above the tree belong to the system image and are
  // taken as they resolve; from the tree's own name on, nothing is followed.
  const char* parent_path = ".";
  if (slash == buf) {
    parent_path = "/";
  } else if (slash != nullptr) {
    *slash = '\0';
    parent_path = buf;
  }
  unique_fd parent(open(parent_path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!parent.ok()) return -errno;
  return remove_at(parent.get(), name, nullptr, 0);
}

int touch_file(const char* path) {
  unique_fd fd(open(path, O_RDWR | O_CREAT | O_CLOEXEC, kFileMode));
  return fd.ok() ? 0 : -errno;
}

void flush_stdout() { (void)fflush(stdout); }

}  // namespace kiv
