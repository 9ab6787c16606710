// A VSD's network namespace: made by its first process and pinned by a bind
// mount on a file under the VSD's root, so that it outlives that process
// and later processes can enter it.
#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <stdio.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/log.h"
#include "base/vsd_paths.h"
#include "kiv_vsd.h"
#include "kiv_vsd/vsd_internal.h"

namespace kiv {
namespace {

constexpr char kLogModule[] = "kiv_vsd";
constexpr size_t kNsPathLen = 100;
constexpr size_t kNsSourceLen = 64;
constexpr mode_t kNsDirMode = 0777;
constexpr char kVsdNsName[] = "default";

// The file on which VSD n's namespace is pinned.
void netns_file(int n, char (&path)[kNsPathLen]) {
  snprintf(path, sizeof path, KIV_VSD_ROOT KIV_VSD_NETNS_FILE_SUFFIX, n);
}

}  // namespace
}  // namespace kiv

using kiv::kLogModule;

extern "C" int create_netns(const char* dir, const char* name, pid_t pid) {
  if (dir == nullptr || name == nullptr) return -2;
  char file[kiv::kNsPathLen] = {};
  snprintf(file, sizeof file, "%s/%s", dir, name);

  if (access(file, F_OK) == 0) {
    KIV_LOG("The ns file is exist,delete first!\n");
    // unlink fails with EBUSY while a namespace is still mounted there.
    if (unlink(file) != 0) {
      KIV_LOG("Delete net ns fail:%s!\n", strerror(errno));
      return -1;
    }
  }

  const int fd = open(file, O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0);
  if (fd < 0) {
    KIV_LOG("Create net ns file fail:%s!\n", strerror(errno));
    return -1;
  }
  if (close(fd) != 0) {
    KIV_LOG("Close net ns file fail:%s!\n", strerror(errno));
    (void)unlink(file);
    return -1;
  }

  if (unshare(CLONE_NEWNET) != 0) {
    KIV_LOG("Unshare net ns fail:%s!\n", strerror(errno));
    (void)unlink(file);
    return -1;
  }

  char source[kiv::kNsSourceLen] = {};
  snprintf(source, sizeof source, "/proc/%d/ns/net", pid);
  if (mount(source, file, "none", MS_BIND, nullptr) != 0) {
    KIV_LOG("Mount net ns fail:%s!\n", strerror(errno));
    (void)unlink(file);
    return -1;
  }
  KIV_LOG("Create new net ns success:%s\n", file);
  return 0;
}

extern "C" int create_netns_for_vsd(int vsd_no) {
  if (!kiv::vsd::valid(vsd_no)) {
    KIV_LOG("Unkown vsd id:%d\n", vsd_no);
    return -1;
  }
  char dir[kiv::kNsPathLen] = {};
  snprintf(dir, sizeof dir, KIV_VSD_ROOT KIV_VSD_NETNS_DIR_SUFFIX, vsd_no);
  if (access(dir, F_OK) != 0 && mkdir(dir, kiv::kNsDirMode) != 0) {
    KIV_LOG("Create ns_dir fail:%s!\n", strerror(errno));
    return -1;
  }
  const pid_t pid = getpid();
  KIV_LOG("vsd%d ns dir:%s\n", vsd_no, dir);
  KIV_LOG("vsd%d pid:%d\n", vsd_no, pid);
  return create_netns(dir, kiv::kVsdNsName, pid);
}

extern "C" int delete_netns_for_vsd(int vsd_no) {
  if (!kiv::vsd::valid(vsd_no)) {
    KIV_LOG("Unkown vsd id:%d\n", vsd_no);
    return -1;
  }
  char file[kiv::kNsPathLen] = {};
  kiv::netns_file(vsd_no, file);
  KIV_LOG("vsd%d netns path:%s\n", vsd_no, file);
  if (umount(file) != 0) KIV_LOG("Umount net ns fail:%s!\n", strerror(errno));
  if (unlink(file) != 0) {
    KIV_LOG("Unlink net ns fail:%s!\n", strerror(errno));
    return -1;
  }
  return 0;
}

kiv::unique_fd kiv::open_vsd_netns(int vsd_no) {
  char file[kiv::kNsPathLen] = {};
  kiv::netns_file(vsd_no, file);
  KIV_LOG("vsd%d netns path:%s\n", vsd_no, file);
  kiv::unique_fd fd(open(file, O_RDONLY | O_CLOEXEC));
  if (!fd.ok()) KIV_LOG("Open netns(%s) fail:%s!\n", file, strerror(errno));
  return fd;
}

void kiv::log_setns_fail(int err) { KIV_LOG("Setns fail:%s!\n", strerror(err)); }

extern "C" int reassociate_netns_to_vsd(int vsd_no) {
  kiv::unique_fd fd = kiv::open_vsd_netns(vsd_no);
  if (!fd.ok()) return -1;
  if (setns(fd.get(), CLONE_NEWNET) != 0) {
    kiv::log_setns_fail(errno);
    return -1;
  }
  // Checked, not retried: Linux releases the descriptor even on EINTR.
  if (close(fd.release()) != 0) {
    char file[kiv::kNsPathLen] = {};
    kiv::netns_file(vsd_no, file);
    KIV_LOG("Close netns(%s) fail:%s!\n", file, strerror(errno));
    return -1;
  }
  return 0;
}
