// The descriptor watch: a process that keeps running at its descriptor
// limit ends itself, so that its exit action restarts it cleanly.
#include <errno.h>
#include <glob.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>

#include "base/log.h"
#include "kiv_utils.h"
#include "kiv_xtach.h"

namespace kiv {
namespace {

constexpr char kLogModule[] = "kiv_xtach";
constexpr size_t kPatternLen = 128;
constexpr size_t kCmdlineLen = 128;
constexpr int kExitAfter = 3;  // exit on the observation after this many

// Consecutive over-limit observations. Unlocked on purpose: a lost update
// only delays the exit by one call.
constinit int fd_count = 0;

class GlobGuard {
 public:
  explicit GlobGuard(glob_t* g) : g_(g) {}
  ~GlobGuard() { globfree(g_); }
  GlobGuard(const GlobGuard&) = delete;
  GlobGuard& operator=(const GlobGuard&) = delete;

 private:
  glob_t* g_;
};

}  // namespace
}  // namespace kiv

extern "C" void kiv_client_watch_process_fd(pid_t pid) {
  using namespace kiv;
  char pattern[kPatternLen];
  snprintf(pattern, sizeof pattern, "/proc/%d/fd/[0-9]*", pid);
  glob_t g;
  memset(&g, 0, sizeof g);
  if (glob(pattern, 0, nullptr, &g) != 0) {
    KIV_LOG("%s: %s\n", "kiv_client_watch_process_fd", strerror(errno));
    globfree(&g);
    return;
  }
  GlobGuard free_glob(&g);
  struct rlimit lim;
  if (getrlimit(RLIMIT_NOFILE, &lim) != 0) {
    KIV_LOG("%s: %s\n", "get_resource_limit", strerror(errno));
    return;
  }
  // An unlimited or very large limit is never reached.
  if (lim.rlim_cur > static_cast<rlim_t>(INT32_MAX)) return;
  const size_t limit = static_cast<size_t>(lim.rlim_cur);
  if (g.gl_pathc < limit) {
    if (fd_count > 0) fd_count = 0;
    return;
  }
  char cmdline[kCmdlineLen];
  if (kiv_get_cmdline(pid, cmdline, sizeof cmdline - 1) == 0) {
    KIV_LOG("process %s/%d: open files exceed the system upper limit.\n", cmdline, pid);
  } else {
    KIV_LOG("process %d open files exceed the system upper limit.\n", pid);
  }
  if (++fd_count > kExitAfter) {
    fd_count = 0;
    exit(1);
  }
}
