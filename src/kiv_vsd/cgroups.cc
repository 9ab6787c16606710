// A VSD's memory and cpu cgroups: making them, moving the recorded members
// into them, and setting the memory limits and the cpu weight.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/log.h"
#include "base/pid_walk.h"
#include "base/unique_fd.h"
#include "base/vsd_paths.h"
#include "kiv_vsd.h"
#include "kiv_vsd/vsd_internal.h"

namespace kiv {
namespace {

constexpr char kLogModule[] = "kiv_vsd";
constexpr char kMoveStep[] = "set_cgroups";
constexpr size_t kPathLen = 256;
constexpr size_t kTextLen = 256;
constexpr mode_t kDirMode = 0777;

// Writes text to a kernel control file in one write(2): the cgroup files
// parse each write on its own, so a value must never be split, and the
// kernel's verdict on it (EINVAL, EBUSY, ESRCH...) comes back from that
// very call. Returns 0, or the negated errno after logging fn's lines.
int write_control(const char* path, const char* text, const char* fn) {
  unique_fd fd(open(path, O_RDWR | O_CLOEXEC));
  if (!fd.ok()) {
    const int err = errno;
    KIV_LOG("%s: fopen fail: %s\n", fn, strerror(err));
    return -err;
  }
  const size_t len = strlen(text);
  ssize_t n;
  do {
    n = write(fd.get(), text, len);
  } while (n < 0 && errno == EINTR);
  if (n != static_cast<ssize_t>(len)) {
    const int err = n < 0 ? errno : EIO;
    KIV_LOG("%s: fwrite fail: %s\n", fn, strerror(err));
    return -err;
  }
  return 0;
}

// One file of the VSD's memory cgroup gets value KiB ("%lluK").
int set_mem_limit_group(int vsd_no, unsigned long long kib, const char* file) {
  char path[kPathLen] = {};
  snprintf(path, sizeof path, KIV_VSD_MEM_CGROUP_FILE, vsd_no, file);
  char text[kTextLen] = {};
  snprintf(text, sizeof text, "%lluK", kib);
  return write_control(path, text, "set_mem_limit_group");
}

// Moves one task into the cgroup whose tasks file is path. Failures are
// only logged: the caller goes on with the next member.
void add_cgroups(const char* path, int pid) {
  char text[kTextLen] = {};
  snprintf(text, sizeof text, "%d", pid);
  (void)write_control(path, text, "add_cgroups");
}

void make_cgroup(const char* tmpl, int vsd_no) {
  char path[kPathLen] = {};
  snprintf(path, sizeof path, tmpl, vsd_no);
  // An existing cgroup stays as it is; a failure shows later as failed
  // writes into its files.
  (void)mkdir(path, kDirMode);
  (void)chmod(path, kDirMode);
}

// Moves every pid named in the member directory into both cgroups. Returns
// 0, or the errno of the failure (already logged). The working directory
// is the member directory while the walk runs, and "/" after it.
int move_members(int vsd_no) {
  char dir[kPathLen] = {};
  snprintf(dir, sizeof dir, KIV_VSD_MEMBER_DIR, vsd_no);
  if (chdir(dir) != 0) {
    const int err = errno;
    KIV_LOG("%s: chdir fail: %s\n", kMoveStep, strerror(err));
    return err;
  }
  char mem_tasks[kPathLen] = {};
  char cpu_tasks[kPathLen] = {};
  snprintf(mem_tasks, sizeof mem_tasks, KIV_VSD_MEM_TASKS, vsd_no);
  snprintf(cpu_tasks, sizeof cpu_tasks, KIV_VSD_CPU_TASKS, vsd_no);
  // Only pid-named files are members: "0" written to a tasks file would
  // move the writer itself.
  const int err = for_each_member(
      dir,
      [&](pid_t pid) {
        add_cgroups(mem_tasks, pid);
        add_cgroups(cpu_tasks, pid);
      },
      [](int stat_err) { KIV_LOG("%s: stat fail: %s\n", kMoveStep, strerror(stat_err)); });
  if (err != 0) {
    KIV_LOG("%s: open dir fail: %s\n", kMoveStep, strerror(err));
    return err;
  }
  if (chdir("/") != 0) {
    const int err = errno;
    KIV_LOG("%s: chdir fail: %s\n", kMoveStep, strerror(err));
    return err;
  }
  return 0;
}

}  // namespace
}  // namespace kiv

using kiv::kLogModule;

extern "C" int set_cgroups_all(int vsd_no) {
  kiv::make_cgroup(KIV_VSD_MEM_CGROUP, vsd_no);
  kiv::make_cgroup(KIV_VSD_CPU_CGROUP, vsd_no);
  const int err = kiv::move_members(vsd_no);
  if (err != 0) KIV_LOG("%s: set mem group fail: %s\n", "set_cgroups_all", strerror(err));
  return 0;
}

extern "C" int set_mem_group(int vsd_no, unsigned long long kib) {
  // The hard limit first: when the kernel refuses it (usage that can't be
  // reclaimed below it), the soft limit keeps its value.
  int r = kiv::set_mem_limit_group(vsd_no, kib, KIV_VSD_MEM_LIMIT_NAME);
  if (r < 0) {
    KIV_LOG("%s: set_hard_mem_limit fail: %s\n", "set_mem_group", strerror(-r));
    return r;
  }
  r = kiv::set_mem_limit_group(vsd_no, kib, KIV_VSD_MEM_SOFT_LIMIT_NAME);
  if (r < 0) {
    KIV_LOG("%s: set_soft_mem_limit fail: %s\n", "set_mem_group", strerror(-r));
    return r;
  }
  return 0;
}

extern "C" int set_cpu_group(int vsd_no, unsigned int weight) {
  char path[kiv::kPathLen] = {};
  snprintf(path, sizeof path, KIV_VSD_CPU_SHARES, vsd_no);
  // Tenths of the default share of 1024, computed in 32-bit signed
  // arithmetic: a weight too large for it gives a text the kernel refuses.
  const int shares = static_cast<int>(weight << 10) / 10;
  char text[kiv::kTextLen] = {};
  snprintf(text, sizeof text, "%d", shares);
  return kiv::write_control(path, text, "set_cpu_group");
}
