// Single-instance lock files: the holder's pid in a file it keeps locked.
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "base/unique_fd.h"
#include "kiv_utils.h"

extern "C" int already_running(const char* path) {
  if (path == nullptr) return -1;
  kiv::unique_fd fd(open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0700));
  if (!fd.ok()) return -1;
  // A record lock belongs to the process and goes with it when it ends, so
  // a lock file left by a crashed instance does not block the next one.
  struct flock lock;
  memset(&lock, 0, sizeof lock);
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  if (fcntl(fd.get(), F_SETLK, &lock) != 0) return -1;
  char text[16];
  const int len = snprintf(text, sizeof text, "%d", getpid());
  // A shorter pid than the last holder's must not leave digits behind; the
  // text is still written if the truncation fails.
  const bool truncated = ftruncate(fd.get(), 0) == 0;
  (void)truncated;
  (void)safe_write(fd.get(), text, static_cast<size_t>(len) + 1);
  return fd.release();
}
