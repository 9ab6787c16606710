// Whole reads and writes: EINTR is retried, a short transfer continued.
#include "base/file_io.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include "base/unique_fd.h"

namespace kiv {
namespace {

template <typename Buf, typename Op>
ssize_t transfer_all(int fd, Buf* buf, size_t n, Op op) {
  size_t done = 0;
  while (done < n) {
    ssize_t r = op(fd, buf + done, n - done);
    if (r < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (r == 0) break;
    done += static_cast<size_t>(r);
  }
  return static_cast<ssize_t>(done);
}

}  // namespace

ssize_t read_all(int fd, void* buf, size_t n) { return transfer_all(fd, static_cast<char*>(buf), n, ::read); }

ssize_t write_all(int fd, const void* buf, size_t n) {
  return transfer_all(fd, static_cast<const char*>(buf), n, ::write);
}

ssize_t read_text(int fd, char* buf, size_t size) {
  const ssize_t r = read_all(fd, buf, size - 1);
  buf[r < 0 ? 0 : r] = '\0';
  return r;
}

ssize_t read_small_file(const char* path, char* buf, size_t size, int flags) {
  unique_fd fd(open(path, O_RDONLY | O_CLOEXEC | flags));
  if (!fd.ok()) return -1;
  return read_text(fd.get(), buf, size);
}

}  // namespace kiv
