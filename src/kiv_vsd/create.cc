// Creating a VSD: a child takes the VSD's group, makes its directories and
// environment, records the start time, moves into a new pinned network
// namespace and becomes the runner of the VSD's start scripts; the caller
// then records the members that the scripts left running.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "base/log.h"
#include "base/pid_walk.h"
#include "base/unique_fd.h"
#include "base/vsd_paths.h"
#include "kiv_os.h"
#include "kiv_utils.h"
#include "kiv_vsd.h"
#include "kiv_vsd/layout.h"
#include "kiv_vsd/vsd_internal.h"

namespace kiv {
namespace {

constexpr char kLogModule[] = "kiv_vsd";
constexpr char kFn[] = "create_vsd";
constexpr size_t kPathLen = 256;
constexpr size_t kRunDirLen = 64;
constexpr size_t kUptimeLen = 64;
constexpr mode_t kDirMode = 0777;
constexpr mode_t kFileMode = 0754;
constexpr int kChildFailed = 1;

// Device nodes that VSD processes open; opened up for them.
constexpr const char* kSharedDevices[] = {"/dev/lsm", "/dev/mmapipc"};

[[noreturn]] void child_exit(int status) {
  flush_stdout();
  _exit(status);
}

void make_dirs(int vsd_no) {
  const bool have_data2 = vsd::have_data2();
  for (const vsd::LayoutRow& d : vsd::kLayout) {
    if (!d.created || (d.data2 && !have_data2)) continue;
    char path[kPathLen] = {};
    snprintf(path, sizeof path, d.tmpl, vsd_no);
    // chmod because mkdir's mode is narrowed by the umask, and an existing
    // directory keeps whatever mode it had.
    (void)mkdir(path, kDirMode);
    (void)chmod(path, kDirMode);
    if (d.env != nullptr) (void)setenv(d.env, path, 1);
  }
}

// Copies /proc/uptime into the VSD's start-time file. false when a step
// failed (logged).
bool write_start_time(int vsd_no) {
  char path[kPathLen] = {};
  snprintf(path, sizeof path, KIV_VSD_STARTTIME, vsd_no);
  unique_fd out(open(path, O_RDWR | O_CREAT | O_CLOEXEC, kFileMode));
  if (!out.ok()) {
    KIV_LOG("%s: open fail: %s\n", kFn, strerror(errno));
    return false;
  }
  unique_fd in(open("/proc/uptime", O_RDWR | O_CLOEXEC));
  if (!in.ok()) {
    KIV_LOG("%s: open uptime fail: %s\n", kFn, strerror(errno));
    return false;
  }
  char text[kUptimeLen] = {};
  ssize_t n;
  do {
    n = read(in.get(), text, sizeof text - 1);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    KIV_LOG("%s: read fail: %s\n", kFn, strerror(errno));
    return false;
  }
  text[n] = '\0';
  in.reset();
  const size_t len = strlen(text);
  ssize_t w;
  do {
    w = write(out.get(), text, len);
  } while (w < 0 && errno == EINTR);
  if (w < 0 || static_cast<size_t>(w) != len) {
    KIV_LOG("%s: write fail: %s\n", kFn, strerror(errno));
    return false;
  }
  return true;
}

[[noreturn]] void creation_child(int vsd_no) {
  const gid_t group = static_cast<gid_t>(vsd::supplement_id(vsd_no));
  if (setgroups(1, &group) == 0) KIV_LOG("%s: Setgroups success\n", kFn);
  (void)kiv_reset_lmk(getpid());

  const int envs = fs_set_vsd_envs(vsd_no);
  if (envs < 0) {
    KIV_LOG("%s: fs get vsd envs fail: %s\n", kFn, strerror(-envs));
    child_exit(kChildFailed);
  }
  for (const char* dev : kSharedDevices) (void)chmod(dev, kDirMode);
  make_dirs(vsd_no);
  if (!write_start_time(vsd_no)) child_exit(kChildFailed);

  char run_dir[kRunDirLen] = {};
  snprintf(run_dir, sizeof run_dir, KIV_VSD_RUN_DIR, vsd_no);
  if (chdir(run_dir) != 0) {
    KIV_LOG("%s: chdir fail: %s\n", kFn, strerror(errno));
    child_exit(kChildFailed);
  }
  // The scripts must start inside the VSD's own namespace; a namespace
  // still pinned from an earlier creation makes this fail.
  if (create_netns_for_vsd(vsd_no) != 0) child_exit(kChildFailed);

  flush_stdout();
  execl("/bin/run-parts", "/bin/run-parts", "/etc/rc.d/rc.vsd/", "-a", "vsd",
        static_cast<char*>(nullptr));
  child_exit(0);
}

}  // namespace

void save_vsdinfo(int vsd_no) {
  const int err = for_each_pid([vsd_no](pid_t pid) {
    const int id = get_vsdid(pid);
    if (id < 1 || id != vsd_no) return true;
    char path[kPathLen] = {};
    snprintf(path, sizeof path, KIV_VSD_MEMBER_FILE, id, pid);
    const int r = touch_file(path);
    if (r != 0) KIV_LOG("%s: open fail: %s\n", "save_vsdinfo", strerror(-r));
    return r == 0;
  });
  if (err != 0) KIV_LOG("%s: opendir fail: %s\n", "save_vsdinfo", strerror(err));
}

}  // namespace kiv

using kiv::kLogModule;

extern "C" int create_vsd(int vsd_no) {
  if (!kiv::vsd::valid(vsd_no)) {
    KIV_LOG("Bad parameter vsd_no:%d\n", vsd_no);
    errno = EINVAL;  // a reload reports the creation's failure by errno
    return -1;
  }
  kiv::preload_fs_service();
  kiv::flush_stdout();
  const pid_t child = fork();
  if (child == 0) kiv::creation_child(vsd_no);
  if (child > 0) {
    KIV_LOG("%s: parent proc: %s\n", kiv::kFn, strerror(errno));
    // Repeated on EINTR: the member scan must not run before the start
    // scripts have finished.
    while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  kiv::save_vsdinfo(vsd_no);
  return 0;
}
