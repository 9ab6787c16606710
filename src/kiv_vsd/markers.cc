// Two system-wide marker files whose presence alone is the message: the
// device monitor's restart marker and the debug-log marker.
#include <errno.h>
#include <fcntl.h>

#include "base/unique_fd.h"
#include "kiv_vsd.h"
#include "kiv_vsd/vsd_internal.h"

namespace kiv {
namespace {

constexpr char kDevMonMarker[] = "/etc/dev_mon";
constexpr char kDebugLogMarker[] = "/etc/debug_log";

// Opening for writing also asks for the caller's permission to change the
// marker, not only for its presence.
int open_existing(const char* path) {
  unique_fd fd(open(path, O_RDWR | O_CLOEXEC));
  return fd.ok() ? 0 : -errno;
}

}  // namespace
}  // namespace kiv

extern "C" int dev_mon_restart(void) { return kiv::touch_file(kiv::kDevMonMarker); }

extern "C" int del_dev_mon_log(void) { return kiv::open_existing(kiv::kDevMonMarker); }

extern "C" int del_dev_mon_restart(void) {
  const int r = kiv::open_existing(kiv::kDevMonMarker);
  if (r != 0) return r;
  (void)kiv::delete_dir(kiv::kDevMonMarker);
  return 0;
}

extern "C" int debug_log(void) { return kiv::open_existing(kiv::kDebugLogMarker); }
