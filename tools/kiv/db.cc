// Reading the pid database: which registrations exist and who holds them.
#include "db.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "base/unique_dir.h"
#include "base/unique_fd.h"
#include "base/vsd_paths.h"
#include "kiv_pidfile.h"
#include "kiv_utils.h"

namespace kiv::manager {

namespace {

// F_GETLK asks which lock would conflict with ours; an unlocked file gives
// F_UNLCK.
pid_t holder_of(int fd) {
  struct flock fl = {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  if (fcntl(fd, F_GETLK, &fl) != 0 || fl.l_type == F_UNLCK) return 0;
  return fl.l_pid;
}

// O_NOFOLLOW: a link is refused (ELOOP) instead of followed; O_NONBLOCK: a
// FIFO opens at once instead of waiting for a writer. Only then does the
// descriptor's own type tell what was opened.
int open_regular(int dirfd, const char* name, const char** why, struct stat* st) {
  kiv::unique_fd fd(openat(dirfd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (!fd.ok()) {
    *why = errno == ELOOP ? "a symbolic link" : "cannot be opened";
    return -1;
  }
  if (fstat(fd.get(), st) != 0 || !S_ISREG(st->st_mode)) {
    *why = "not a regular file";
    return -1;
  }
  return fd.release();
}

}  // namespace

pid_t lock_holder(const char* path) {
  const char* why = nullptr;
  struct stat st;
  kiv::unique_fd fd(open_regular(AT_FDCWD, path, &why, &st));
  return fd.ok() ? holder_of(fd.get()) : 0;
}

std::vector<DbEntry> scan_database() {
  std::vector<DbEntry> out;
  for (int vsd = 0; vsd < kiv::vsd::kSlots; ++vsd) {
    char dir[128];
    snprintf(dir, sizeof dir, KIV_VSD_DB_DIR, vsd);
    kiv::unique_fd dfd(open(dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    kiv::unique_dir d(dfd.ok() ? fdopendir(dfd.get()) : nullptr);
    if (!d.ok()) continue;
    (void)dfd.release();  // closedir() closes it
    std::vector<std::string> names;
    while (struct dirent* e = readdir(d.get())) {
      if (e->d_name[0] != '.') names.emplace_back(e->d_name);
    }
    std::sort(names.begin(), names.end());
    for (const auto& name : names) {
      DbEntry e;
      e.vsd = vsd;
      e.path = std::string(dir) + "/" + name;
      struct stat st;
      kiv::unique_fd fd(open_regular(dirfd(d.get()), name.c_str(), &e.skipped, &st));
      if (!fd.ok()) {
        out.push_back(std::move(e));
        continue;
      }
      e.owner = st.st_uid;
      // The library's reader takes a path: the descriptor's own entry in
      // /proc reopens this very file, whatever the directory now holds.
      char self[64];
      snprintf(self, sizeof self, "/proc/self/fd/%d", fd.get());
      int pid = 0, kind = 0;
      char cmd[256] = {};
      e.readable = kiv_db_read(self, &pid, &kind, cmd, sizeof cmd) == 0;
      e.pid = pid;
      e.kind = kind;
      e.cmdline = cmd;
      e.holder = holder_of(fd.get());
      out.push_back(std::move(e));
    }
  }
  return out;
}

bool db_cmdline_matches(pid_t pid, const std::string& cmdline) {
  char now[256] = {};
  return kiv_get_cmdline(pid, now, 255) == 0 && cmdline == now;
}

bool db_file_exists(int32_t vsd, pid_t pid, const std::string& cmdline, uid_t owner) {
  char path[256];
  struct stat st;
  const int n = kiv_get_db_file_name(vsd, pid, cmdline.c_str(), path, sizeof path);
  // The directory is world-writable: a file another user put there under
  // this name says nothing about the registration.
  return n > 0 && static_cast<size_t>(n) < sizeof path && lstat(path, &st) == 0 && S_ISREG(st.st_mode) &&
         (st.st_uid == 0 || st.st_uid == owner);
}

void remove_db_file(int32_t vsd, pid_t pid, const std::string& cmdline) {
  (void)kiv_db_destroy(vsd, pid, cmdline.c_str());
}

}  // namespace kiv::manager
