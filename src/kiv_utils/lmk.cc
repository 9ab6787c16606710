// A process's out-of-memory adjustment, written through /proc/PID/oom_adj.
#include <stdio.h>
#include <string.h>

#include "kiv_utils.h"

namespace kiv {
namespace {

// -17 is the oom_adj value with which the kernel never picks the process.
constexpr int kOomDisable = -17;
constexpr size_t kOomBufLen = 128;

int change_proc_oom_adj(int value, pid_t pid) {
  char path[kOomBufLen] = {};
  char text[kOomBufLen] = {};
  snprintf(path, sizeof path - 1, "/proc/%d/oom_adj", pid);
  snprintf(text, sizeof text - 1, "%d\n", value);
  return static_cast<int>(safe_write_path(path, text, static_cast<int>(strlen(text) + 1)));
}

}  // namespace
}  // namespace kiv

extern "C" int kiv_ignore_lmk(pid_t pid) { return kiv::change_proc_oom_adj(kiv::kOomDisable, pid); }

extern "C" int kiv_reset_lmk(pid_t pid) { return kiv::change_proc_oom_adj(0, pid); }
