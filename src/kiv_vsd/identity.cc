// Which VSD a process belongs to, and whether /sbin/ holds a program.
#include <dirent.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "base/log.h"
#include "base/proc.h"
#include "base/unique_dir.h"
#include "kiv_utils/proc_text.h"
#include "kiv_vsd.h"

namespace kiv {
namespace {

constexpr char kLogModule[] = "kiv_vsd";
constexpr int kGroupBase = 3000;
constexpr int kGroupStep = 100;

}  // namespace
}  // namespace kiv

using kiv::kLogModule;

int kiv::status_vsdid(FILE* f) {
  // An empty list of ids, or none, reads as 0.
  char line[kStatusLineLen];
  const int group = find_status_line(f, "Groups:", line)
                        ? static_cast<int>(strtol(status_value(line, "Groups:"), nullptr, 10))
                        : 0;
  // Any gid from 2^31 on reads as a negative int: subtract in a wider type.
  return static_cast<int>((static_cast<long>(group) - kiv::kGroupBase) / kiv::kGroupStep);
}

extern "C" int get_vsdid(pid_t pid) {
  char buf[kiv::kProcStreamLen];
  FILE* f = kiv::open_proc_status(pid, buf);
  if (f == nullptr) return -errno;
  const int vsd = kiv::status_vsdid(f);
  fclose(f);
  return vsd;
}

extern "C" int check_sbin(const char* name) {
  kiv::unique_dir d(opendir("/sbin/"));
  if (!d.ok()) {
    const int err = errno;
    KIV_LOG("%s: opendir fail: %s\n", "check_sbin", strerror(err));
    return -err;
  }
  int found = 0;
  if (name != nullptr) {
    while (const struct dirent* e = readdir(d.get())) {
      if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
      if (strcmp(e->d_name, name) == 0) {
        found = 1;
        break;
      }
    }
  }
  return found;
}
