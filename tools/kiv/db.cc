// Reading the pid database: which registrations exist and who holds them.
#include "db.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <stdio.h>
#include <unistd.h>

#include <algorithm>

#include "kiv_pidfile.h"
#include "kiv_utils.h"
#include "kiv_utils/unique_fd.h"
#include "kiv_vsd/vsd_paths.h"

namespace kiv::manager {

// F_GETLK asks which lock would conflict with ours; an unlocked file gives
// F_UNLCK.
pid_t lock_holder(const char* path) {
  kiv::unique_fd fd(open(path, O_RDONLY | O_CLOEXEC));
  if (!fd.ok()) return 0;
  struct flock fl = {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  if (fcntl(fd.get(), F_GETLK, &fl) != 0 || fl.l_type == F_UNLCK) return 0;
  return fl.l_pid;
}

std::vector<DbEntry> scan_database() {
  std::vector<DbEntry> out;
  for (int vsd = 0; vsd < kiv::vsd::kSlots; ++vsd) {
    char dir[128];
    snprintf(dir, sizeof dir, KIV_VSD_DB_DIR, vsd);
    DIR* d = opendir(dir);
    if (d == nullptr) continue;
    std::vector<std::string> names;
    while (struct dirent* e = readdir(d)) {
      if (e->d_type == DT_REG || e->d_type == DT_UNKNOWN) names.emplace_back(e->d_name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    for (const auto& name : names) {
      if (name[0] == '.') continue;
      DbEntry e;
      e.vsd = vsd;
      e.path = std::string(dir) + "/" + name;
      int pid = 0, kind = 0;
      char cmd[256] = {};
      e.readable = kiv_db_read(e.path.c_str(), &pid, &kind, cmd, sizeof cmd) == 0;
      e.pid = pid;
      e.kind = kind;
      e.cmdline = cmd;
      e.holder = lock_holder(e.path.c_str());
      out.push_back(std::move(e));
    }
  }
  return out;
}

bool db_cmdline_matches(pid_t pid, const std::string& cmdline) {
  char now[256] = {};
  return kiv_get_cmdline(pid, now, 255) == 0 && cmdline == now;
}

bool db_file_exists(int32_t vsd, pid_t pid, const std::string& cmdline) {
  char path[256];
  struct stat st;
  const int n = kiv_get_db_file_name(vsd, pid, cmdline.c_str(), path, sizeof path);
  return n > 0 && static_cast<size_t>(n) < sizeof path && lstat(path, &st) == 0;
}

void remove_db_file(int32_t vsd, pid_t pid, const std::string& cmdline) {
  (void)kiv_db_destroy(vsd, pid, cmdline.c_str());
}

}  // namespace kiv::manager
