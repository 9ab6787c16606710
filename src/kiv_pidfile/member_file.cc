// The member file that marks a process as one of its VSD's.
#include <fcntl.h>
#include <stdio.h>

#include "base/unique_fd.h"
#include "base/vsd_paths.h"
#include "kiv_pidfile.h"

namespace kiv {
namespace {

constexpr size_t kMemberPathLen = 64;

}  // namespace
}  // namespace kiv

extern "C" void save_vsd_flag(int vsd, int pid) {
  if (vsd == 0) return;
  char path[kiv::kMemberPathLen];
  snprintf(path, sizeof path, KIV_VSD_MEMBER_FILE, vsd, pid);
  kiv::unique_fd fd(open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0777));
}
