// Ending a VSD: its members are signalled by their supplementary group
// (SIGTERM, 5 s, SIGKILL, 10 s), then its trees are removed; a reload
// creates it again. Also the listing of the recorded members.
#include <dirent.h>
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "base/log.h"
#include "base/pid_walk.h"
#include "base/proc.h"
#include "base/unique_dir.h"
#include "base/vsd_paths.h"
#include "kiv_vsd.h"
#include "kiv_vsd/layout.h"
#include "kiv_vsd/vsd_internal.h"

namespace kiv {
namespace {

constexpr char kLogModule[] = "kiv_vsd";
constexpr char kKillFn[] = "kill_proc_by_groups";
constexpr size_t kPathLen = 256;
constexpr size_t kGroupTextLen = 16;
constexpr unsigned kTermWait = 5;   // seconds from SIGTERM to SIGKILL
constexpr unsigned kKillWait = 10;  // seconds from SIGKILL to removal

// Removes the trees of one teardown, in the layout's order of removal. The
// second data partition is looked for only when its first tree is reached.
void remove_trees(int vsd_no, vsd::Teardown which) {
  int data2 = -1;  // not yet looked for
  for (int place = 1; place <= vsd::kLayoutRows; ++place) {
    for (const vsd::LayoutRow& row : vsd::kLayout) {
      if (row.removal != place || (row.removed_by & which) == 0) continue;
      if (row.data2 && data2 < 0) data2 = vsd::have_data2() ? 1 : 0;
      if (row.data2 && data2 == 0) continue;
      char path[kPathLen] = {};
      snprintf(path, sizeof path, row.tmpl, vsd_no);
      (void)delete_dir(path);
    }
  }
}

// The teardown marker, then SIGTERM, 5 s, SIGKILL, 10 s. Returns 0 or the
// negated errno.
int signal_members(int vsd_no, const char* name) {
  char marker[kPathLen] = {};
  snprintf(marker, sizeof marker, KIV_VSD_DELETE_MARKER, vsd_no);
  const int made = touch_file(marker);
  if (made != 0) return made;

  const int group = vsd::supplement_id(vsd_no);
  printf("Sending vsd: %d all processes the TERM signal...\n", vsd_no);
  int r = kill_proc_by_groups(SIGTERM, group);
  if (r < 0) {
    KIV_LOG("%s: ret < 0: %s\n", name, strerror(-r));
    return r;
  }
  printf("After 5s, Sending vsd: %d all processes the KILL signal...\n", vsd_no);
  (void)sleep(kTermWait);
  r = kill_proc_by_groups(SIGKILL, group);
  if (r < 0) {
    KIV_LOG("%s: ret < 0: %s\n", name, strerror(-r));
    return r;
  }
  printf("After 10s, Delete vsd: %d OK.\n", vsd_no);
  (void)sleep(kKillWait);
  return 0;
}

void remove_marker(int vsd_no) {
  char marker[kPathLen] = {};
  snprintf(marker, sizeof marker, KIV_VSD_DELETE_MARKER, vsd_no);
  (void)unlink(marker);
}

}  // namespace
}  // namespace kiv

using kiv::kLogModule;

extern "C" int kill_proc_by_groups(int sig, int group_id) {
  char group_text[kiv::kGroupTextLen] = {};
  snprintf(group_text, sizeof group_text, "%d", group_id);
  const int err = kiv::for_each_pid([&](pid_t pid) {
    char buf[kiv::kProcStreamLen];
    FILE* f = kiv::open_proc_status(pid, buf);
    if (f == nullptr) {
      KIV_LOG("%s: fopen fail: %s\n", kiv::kKillFn, strerror(errno));
      return true;
    }
    char line[kiv::kStatusLineLen];
    // A plain substring test: the id also matches inside a longer number.
    const char* at = kiv::find_status_line(f, "Groups:", line) ? strstr(line, group_text) : nullptr;
    if (at != nullptr) {
      const int supplement = static_cast<int>(strtol(at, nullptr, 10));
      if (supplement < 0) KIV_LOG("%s: atoi fail: %s\n", kiv::kKillFn, strerror(errno));
      KIV_LOG("delete vsd: supplement_id: %d pid: %d\n", supplement, pid);
      (void)kill(pid, sig);
    }
    fclose(f);
    return true;
  });
  if (err != 0) {
    KIV_LOG("%s: opendir fail: %s\n", kiv::kKillFn, strerror(err));
    return -err;
  }
  return 0;
}

extern "C" int delete_vsd(int vsd_no) {
  if (!kiv::vsd::valid(vsd_no)) {
    KIV_LOG("Bad parameter vsd_no:%d\n", vsd_no);
    return -1;
  }
  int r = kiv::signal_members(vsd_no, "delete_vsd");
  if (r != 0) return r;
  r = delete_netns_for_vsd(vsd_no);
  if (r != 0) {
    KIV_LOG("delete netns fail:%d.", r);
    return r;
  }
  kiv::remove_marker(vsd_no);
  kiv::remove_trees(vsd_no, kiv::vsd::kDeleteVsd);
  return 0;
}

extern "C" int stop_vsd(int vsd_no) {
  const int r = kiv::signal_members(vsd_no, "stop_vsd");
  if (r != 0) return r;
  kiv::remove_marker(vsd_no);
  kiv::remove_trees(vsd_no, kiv::vsd::kStopVsd);
  return 0;
}

extern "C" int reload_vsd(int vsd_no) {
  // The namespace and the persistent directories stay; only the runtime
  // trees are renewed.
  const int r = kiv::signal_members(vsd_no, "re_delete_vsd");
  if (r != 0) {
    KIV_LOG("delete %d vsd fail, error =%s\n", vsd_no, strerror(-r));
    return r;
  }
  kiv::remove_marker(vsd_no);
  kiv::remove_trees(vsd_no, kiv::vsd::kReloadVsd);
  if (create_vsd(vsd_no) < 0) {
    const int err = errno;
    KIV_LOG("create vsd fail, error = %s\n", strerror(err));
    return -err;
  }
  return 0;
}

extern "C" int show_vsd(void) {
  for (int n = kiv::vsd::kFirst; n <= kiv::vsd::kLast; ++n) {
    char path[kiv::kPathLen] = {};
    snprintf(path, sizeof path, KIV_VSD_MEMBER_DIR, n);
    kiv::unique_dir d(opendir(path));
    if (!d.ok()) continue;
    printf("Vsd_%d: %s\n", n, path);
    while (const struct dirent* e = readdir(d.get())) {
      if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
      puts(e->d_name);
    }
  }
  return 0;
}

extern "C" int delete_vsd_file(int vsd_no) {
  kiv::remove_trees(vsd_no, kiv::vsd::kDeleteVsdFile);
  return 0;
}
