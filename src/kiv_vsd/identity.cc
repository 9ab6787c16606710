// Which VSD a process belongs to, and whether /sbin/ holds a program.
#include <dirent.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "base/log.h"
#include "kiv_utils/proc_stream.h"
#include "kiv_utils/proc_text.h"
#include "kiv_vsd.h"

namespace kiv {
namespace {

constexpr char kLogModule[] = "kiv_vsd";
constexpr size_t kPathLen = 256;
constexpr int kLineLen = 255;  // fgets size: lines of at most 254 characters
constexpr int kGroupBase = 3000;
constexpr int kGroupStep = 100;

}  // namespace
}  // namespace kiv

using kiv::kLogModule;

int kiv::status_vsdid(FILE* f) {
  int group = 0;
  char line[kiv::kLineLen];
  while (fgets(line, sizeof line, f) != nullptr) {
    if (strstr(line, "Groups:") == nullptr) continue;
    const char* colon = strchr(line, ':');
    // The kernel writes "Groups:\t" and then the ids; an empty list leaves
    // nothing after the tab, which reads as 0.
    if (colon == nullptr || colon[1] == '\0') {
      group = 0;
      continue;
    }
    group = static_cast<int>(strtol(colon + 2, nullptr, 10));
  }
  // Any gid from 2^31 on reads as a negative int: subtract in a wider type.
  return static_cast<int>((static_cast<long>(group) - kiv::kGroupBase) / kiv::kGroupStep);
}

extern "C" int get_vsdid(pid_t pid) {
  char path[kiv::kPathLen] = {};
  snprintf(path, sizeof path, "/proc/%d/status", pid);
  char buf[kiv::kProcStreamLen];
  FILE* f = kiv::open_proc_stream(path, buf);
  if (f == nullptr) return -errno;
  const int vsd = kiv::status_vsdid(f);
  fclose(f);
  return vsd;
}

extern "C" int check_sbin(const char* name) {
  DIR* d = opendir("/sbin/");
  if (d == nullptr) {
    const int err = errno;
    KIV_LOG("%s: opendir fail: %s\n", "check_sbin", strerror(err));
    return -err;
  }
  int found = 0;
  if (name != nullptr) {
    while (const struct dirent* e = readdir(d)) {
      if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
      if (strcmp(e->d_name, name) == 0) {
        found = 1;
        break;
      }
    }
  }
  closedir(d);
  return found;
}
