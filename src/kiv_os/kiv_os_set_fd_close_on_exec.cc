// The close-on-exec rule for descriptors that client code opens itself.
// Inside the library descriptors are opened with O_CLOEXEC (SOCK_CLOEXEC,
// fopen's "e"), which sets the flag atomically with the open.
#include <fcntl.h>

#include "kiv_os.h"

extern "C" int kiv_os_set_fd_close_on_exec(int fd) {
  if (fd < 0) return -1;
  int flags = fcntl(fd, F_GETFD);
  if (flags == -1) return -1;
  if (fcntl(fd, F_SETFD, flags | FD_CLOEXEC) == -1) return -1;
  return 0;
}
