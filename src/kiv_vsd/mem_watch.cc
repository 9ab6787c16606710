// The memory watch: one poll measures the resident memory of every process
// outside shared libraries, per VSD, kills the largest member of each VSD
// over its cgroup limit, and publishes the sums.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/log.h"
#include "base/pid_walk.h"
#include "base/proc.h"
#include "base/proc_stream.h"
#include "base/unique_fd.h"
#include "base/unique_file.h"
#include "base/vsd_paths.h"
#include "kiv_utils.h"
#include "kiv_vsd.h"
#include "kiv_vsd/vsd_internal.h"

// The running poll's accumulators and the last completed poll's result,
// KiB per VSD (slot 0 is the host).
uint64_t array_rss[KIV_VSD_SLOTS] = {};
uint64_t mem_use_rss[KIV_VSD_SLOTS] = {};

namespace kiv {
namespace {

constexpr char kLogModule[] = "kiv_vsd";
constexpr char kPollFn[] = "poll_use_mem";
constexpr char kFindFn[] = "find_max_rss";
constexpr size_t kPathLen = 256;
constexpr size_t kSmapsPathLen = 32;
constexpr int kSmapsLineLen = 1024;
constexpr size_t kLimitTextLen = 256;
constexpr int kPollPauseUs = 100000;  // paces the poll: 100 ms per process
constexpr unsigned long long kKiB = 1024;

static_assert(KIV_VSD_SLOTS == vsd::kSlots);

// The VmRSS of pid in KiB, 0 when it has none, -1 when its status can't be
// opened (logged).
int vm_rss(int pid) {
  char buf[kProcStreamLen];
  unique_file f(open_proc_status(pid, buf));
  if (!f.ok()) {
    KIV_LOG("%s: fopen fail: %s\n", kFindFn, strerror(errno));
    return -1;
  }
  char line[kStatusLineLen];
  if (!find_status_line(f.get(), "VmRSS:", line)) return 0;
  return static_cast<int>(strtol(status_value(line, "VmRSS:"), nullptr, 10));
}

// Adds every process's resident memory outside libraries into array_rss,
// then holds each VSD over its limit to it: its largest member is killed
// and its slot carries the limit.
void poll_use_mem() {
  const int err = for_each_pid([](pid_t pid) {
    char smaps[kSmapsPathLen] = {};
    snprintf(smaps, sizeof smaps, "%s/%d/smaps", "/proc", pid);
    int vsd_no = get_vsdid(pid);
    if (vsd_no < 0) vsd_no = 0;  // no VSD group, or gone: the host
    const int r = get_vsd_mem(smaps, vsd_no, array_rss);
    if (r < 0) KIV_LOG("%s: get vsd mem fail: %s\n", kPollFn, strerror(-r));
    (void)safe_usleep(kPollPauseUs);
    return true;
  });
  if (err != 0) {
    KIV_LOG("%s: open dir fail: %s\n", kPollFn, strerror(err));
    return;
  }

  for (int n = vsd::kFirst; n <= vsd::kLast; ++n) {
    char root[kPathLen] = {};
    snprintf(root, sizeof root, KIV_VSD_ROOT_SLASH, n);
    if (access(root, F_OK) != 0) {
      array_rss[n] = 0;
      continue;
    }
    const uint64_t limit = get_maxmem_set(n);
    if (limit == 0) {
      array_rss[n] = 0;
      continue;
    }
    if (array_rss[n] > limit) {
      find_max_rss(n);
      array_rss[n] = get_maxmem_set(n);
    }
  }
}

}  // namespace
}  // namespace kiv

using kiv::kLogModule;

extern "C" void set_vsd_mem(void) {
  kiv::poll_use_mem();
  // Each slot is one aligned 64-bit store, so a reader on another thread
  // sees a slot's old value or its new one, never a mix.
  for (int n = 0; n < KIV_VSD_SLOTS; ++n) {
    __atomic_store_n(&mem_use_rss[n], array_rss[n], __ATOMIC_RELAXED);
    array_rss[n] = 0;
  }
}

extern "C" uint64_t vsd_use_mem(int vsd_no) {
  if (vsd_no < 0 || vsd_no >= KIV_VSD_SLOTS) return 0;
  return __atomic_load_n(&mem_use_rss[vsd_no], __ATOMIC_RELAXED);
}

extern "C" int get_vsd_mem(const char* smaps_path, int vsd_no, uint64_t* table) {
  if (smaps_path == nullptr || table == nullptr) return -EINVAL;
  // smaps runs to tens of KiB: a larger buffer, fewer reads.
  char buf[2 * kiv::kProcStreamLen];
  kiv::unique_file f(kiv::open_proc_stream(smaps_path, buf));
  if (!f.ok()) {
    const int err = errno;
    KIV_LOG("%s: open conf file fail: %s\n", "get_vsd_mem", strerror(err));
    return -err;
  }
  // A VSD number beyond the table has no slot: such a process is not
  // counted anywhere.
  if (vsd_no >= KIV_VSD_SLOTS) return 0;
  uint64_t& slot = table[vsd_no < 0 ? 0 : vsd_no];

  bool in_library = false;
  char line[kiv::kSmapsLineLen] = {};
  while (fgets(line, sizeof line, f.get()) != nullptr) {
    // A mapping's header line names its file; "/lib" in it marks the
    // shared libraries that every process maps, whose Rss is left out.
    if (strstr(line, "/lib") != nullptr) {
      in_library = true;
      continue;
    }
    const char* rss = strstr(line, "Rss");
    if (rss == nullptr) continue;
    if (in_library) {
      in_library = false;
      continue;
    }
    const char* p = rss + 4;  // past "Rss:"
    if (static_cast<size_t>(p - line) > strlen(line)) continue;
    while (*p == ' ' || *p == '\t') ++p;
    const int kib = static_cast<int>(strtol(p, nullptr, 10));
    if (kib > 0) slot += static_cast<uint64_t>(kib);
  }
  return 0;
}

extern "C" uint64_t get_maxmem_set(int vsd_no) {
  if (vsd_no == 0) return 0;
  char path[kiv::kPathLen] = {};
  snprintf(path, sizeof path, KIV_VSD_MEM_LIMIT, vsd_no);
  kiv::unique_fd fd(open(path, O_RDWR | O_CLOEXEC));
  if (!fd.ok()) {
    KIV_LOG("%s: open fail: %s\n", "get_maxmem_set", strerror(errno));
    return 0;
  }
  char text[kiv::kLimitTextLen] = {};
  ssize_t n;
  do {
    n = read(fd.get(), text, sizeof text - 1);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    KIV_LOG("%s: read fail: %s\n", "get_maxmem_set", strerror(errno));
    return 0;
  }
  const long long bytes = strtoll(text, nullptr, 10);
  if (bytes <= 0) return 0;
  return static_cast<uint64_t>(bytes) / kiv::kKiB;
}

extern "C" void find_max_rss(int vsd_no) {
  char dir[kiv::kPathLen] = {};
  snprintf(dir, sizeof dir, KIV_VSD_MEMBER_DIR, vsd_no);
  int max_rss = 0;
  int max_pid = 0;
  const int err = kiv::for_each_member(
      dir,
      [&](pid_t pid) {
        const int rss = kiv::vm_rss(pid);
        if (rss > max_rss) {
          max_rss = rss;
          max_pid = pid;
        }
      },
      [](int stat_err) { KIV_LOG("%s: stat fail: %s\n", kiv::kFindFn, strerror(stat_err)); });
  if (err != 0) {
    KIV_LOG("%s: open dir fail: %s\n", kiv::kFindFn, strerror(err));
    return;
  }
  if (max_pid == 0) {
    // kill(0, ...) would reach the caller's own process group.
    KIV_LOG("%s: no member of vsd %d has resident memory\n", kiv::kFindFn, vsd_no);
    return;
  }
  KIV_LOG("max_pid %d max_rss %d\n", max_pid, max_rss);
  (void)kill(max_pid, SIGKILL);
}
