// The pid database file of a registration: written, kept locked, removed
// and read back by the Manager's tools.
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/log.h"
#include "base/mutex_lock.h"
#include "base/unique_fd.h"
#include "base/vsd_paths.h"
#include "kiv_pidfile.h"
#include "kiv_utils.h"
#include "kiv_utils/fork_local.h"

namespace kiv {
namespace {

constexpr char kLogModule[] = "kiv_pidfile";
constexpr size_t kPathLen = 256;
constexpr size_t kProgNameLen = 256;  // first word: at most 255 characters
constexpr size_t kReadLen = 256;      // a file counts up to its 255th byte

// The base name of cmdline's first word, cut to 255 characters first.
void program_name(const char* cmdline, char (&name)[kProgNameLen]) {
  size_t n = strcspn(cmdline, " ");
  if (n > kProgNameLen - 1) n = kProgNameLen - 1;
  memcpy(name, cmdline, n);
  name[n] = '\0';
  const char* slash = strrchr(name, '/');
  if (slash != nullptr) memmove(name, slash + 1, strlen(slash + 1) + 1);
}

// The database path of (vsd, pid): 0, or -ENAMETOOLONG when it does not
// fit (a cut path would name some other file), -EINVAL when it cannot be
// formatted.
int db_path(int vsd, int pid, const char* cmdline, char (&path)[kPathLen]) {
  const int n = kiv_get_db_file_name(vsd, pid, cmdline, path, sizeof path);
  if (n < 0) return -EINVAL;
  if (static_cast<size_t>(n) >= sizeof path) return -ENAMETOOLONG;
  return 0;
}

void write_text(int fd, const char* text) { (void)safe_write(fd, text, strlen(text)); }

// Database files this process keeps open and locked. Registering the same
// file again rewrites it through the descriptor already held: record locks
// belong to the process, so a second descriptor would hold nothing more,
// and one per registration runs the process out of descriptors.
constexpr int kHeldFiles = 32;
struct HeldFile {
  bool used;
  int fd;
  dev_t dev;
  ino_t ino;
  char path[kPathLen];
};
// Guarded by ForkLocal::db_held_lock, which a child finds unlocked even when
// another thread of its parent held it at the fork.
constinit HeldFile g_held[kHeldFiles] = {};

HeldFile* held_slot(const char* path) {
  for (HeldFile& h : g_held) {
    if (h.used && strcmp(h.path, path) == 0) return &h;
  }
  return nullptr;
}

// The held descriptor of path when it still is that file: the file may
// have been removed or replaced since, and the program may have closed the
// descriptor and been given its number for something else.
int held_fd(const char* path) {
  const HeldFile* h = held_slot(path);
  struct stat now, held;
  if (h == nullptr || stat(path, &now) != 0 || fstat(h->fd, &held) != 0) return -1;
  if (now.st_dev != h->dev || now.st_ino != h->ino || held.st_dev != h->dev || held.st_ino != h->ino) return -1;
  return h->fd;
}

// Records fd as the descriptor held for path. The one held before for a
// file since removed or replaced locks nothing on that path any more.
void hold(const char* path, int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0) return;
  HeldFile* h = held_slot(path);
  if (h != nullptr) {
    struct stat old;
    if (fstat(h->fd, &old) == 0 && old.st_dev == h->dev && old.st_ino == h->ino) (void)close(h->fd);
  }
  for (HeldFile& free_slot : g_held) {
    if (h == nullptr && !free_slot.used) h = &free_slot;
  }
  if (h == nullptr) return;  // full: kept open untracked, as without the table
  *h = {true, fd, st.st_dev, st.st_ino, {}};
  snprintf(h->path, sizeof h->path, "%s", path);
}

void forget(int fd) {
  for (HeldFile& h : g_held) {
    if (h.used && h.fd == fd) h.used = false;
  }
}

}  // namespace
}  // namespace kiv

using kiv::kLogModule;

extern "C" int kiv_get_db_file_name(int vsd, int pid, const char* cmdline, char* dst, int size) {
  if (cmdline == nullptr || size < 0 || (dst == nullptr && size > 0)) return -1;
  char name[kiv::kProgNameLen];
  kiv::program_name(cmdline, name);
  return snprintf(dst, static_cast<size_t>(size), KIV_VSD_DB_FILE, vsd, name, pid);
}

extern "C" int kiv_db_create(int vsd, int pid, int kind, const char* cmdline) {
  static constexpr char kName[] = "kiv_db_create";
  char path[kiv::kPathLen] = {};
  const int path_rc = kiv::db_path(vsd, pid, cmdline, path);
  const bool path_ok = path_rc == 0;
  if (!path_ok) errno = -path_rc;  // why no file is opened
  KIV_LOG("%s vsd:%d path:%s file:%s\n", kName, vsd, cmdline != nullptr ? cmdline : "", path);
  kiv::ForkLocal* local = kiv::fork_local();
  if (local == nullptr) {
    KIV_LOG("%s: no fork-local page: %s\n", kName, strerror(errno));
    return -1;
  }
  kiv::MutexLock held_lock(&local->db_held_lock);
  const int held = path_ok ? kiv::held_fd(path) : -1;
  kiv::unique_fd fd(held >= 0 ? held : path_ok ? open(path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0777) : -1);
  if (!fd.ok()) {
    KIV_LOG("%s: fd < 0: %s\n", kName, strerror(errno));
    return -1;
  }
  if (held >= 0) {
    // What O_TRUNC does for a fresh descriptor.
    (void)ftruncate(fd.get(), 0);
    (void)lseek(fd.get(), 0, SEEK_SET);
  }
  char line[16];
  snprintf(line, sizeof line, "%d\n", pid);
  kiv::write_text(fd.get(), line);
  snprintf(line, sizeof line, "%d\n", kind);
  kiv::write_text(fd.get(), line);
  kiv::write_text(fd.get(), cmdline);

  struct flock lock;
  memset(&lock, 0, sizeof lock);
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  if (fcntl(fd.get(), F_SETLK, &lock) == 0) {
    // The open descriptor is what holds the lock: it marks the file as
    // belonging to a living process until this one exits or executes.
    if (held < 0) kiv::hold(path, fd.get());
    (void)fd.release();
    return 0;
  }
  const int err = errno;
  // Another process holds the lock: our descriptor serves no purpose. Any
  // other refusal leaves it open, as a successful lock would.
  if (err == EAGAIN || err == EACCES) {
    if (held >= 0) kiv::forget(held);
    fd.reset();
  } else {
    if (held < 0) kiv::hold(path, fd.get());
    (void)fd.release();
  }
  KIV_LOG("%s: file %s fd < 0: %s\n", kName, path, strerror(err));
  return 0;
}

extern "C" int kiv_db_destroy(int vsd, int pid, const char* cmdline) {
  if (cmdline == nullptr) return -1;
  char path[kiv::kPathLen];
  const int path_rc = kiv::db_path(vsd, pid, cmdline, path);
  if (path_rc < 0) {
    errno = -path_rc;
    return -1;
  }
  return unlink(path);
}

extern "C" int kiv_db_read(const char* path, int* pid, int* kind, char* dst, int size) {
  static constexpr char kName[] = "kiv_db_read";
  if (path == nullptr || pid == nullptr || kind == nullptr || dst == nullptr || size < 1) return -1;
  kiv::unique_fd fd(open(path, O_RDONLY | O_CLOEXEC));
  if (!fd.ok()) {
    KIV_LOG("%s: open pid file fail: %s\n", kName, strerror(errno));
    return -1;
  }
  char text[kiv::kReadLen] = {};
  ssize_t n;
  while ((n = read(fd.get(), text, sizeof text - 1)) < 0 && errno == EINTR) {
  }
  if (n < 0) {
    KIV_LOG("%s: read pid file fail: %s\n", kName, strerror(errno));
    return -1;
  }
  text[n] = '\0';
  if (sscanf(text, "%d\n%d\n", pid, kind) != 2) {
    KIV_LOG("%s: read pid fail: %s\n", kName, strerror(errno));
    return -1;
  }
  const char* slash = strchr(text, '/');
  if (slash == nullptr) return -1;
  snprintf(dst, static_cast<size_t>(size), "%s", slash);
  return 0;
}
