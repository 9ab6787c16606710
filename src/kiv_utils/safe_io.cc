// Whole reads and writes that survive interrupted system calls.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include "base/log.h"
#include "base/unique_fd.h"
#include "kiv_utils.h"

namespace kiv {
namespace {

constexpr char kLogModule[] = "kiv_utils";

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
}  // namespace kiv

extern "C" ssize_t safe_read(int fd, void* buf, size_t n) {
  return kiv::transfer_all(fd, static_cast<char*>(buf), n, ::read);
}

extern "C" ssize_t safe_write(int fd, const void* buf, size_t n) {
  return kiv::transfer_all(fd, static_cast<const char*>(buf), n, ::write);
}

extern "C" ssize_t safe_write_path(const char* path, const void* buf, int len) {
  using kiv::kLogModule;
  kiv::unique_fd fd(open(path, O_RDWR | O_CLOEXEC));
  if (!fd.ok()) {
    KIV_LOG("%s: fd < 0: %s\n", "safe_write_path", strerror(errno));
    return -1;
  }
  return safe_write(fd.get(), buf, len < 0 ? 0 : static_cast<size_t>(len));
}

extern "C" ssize_t kiv_read_to_buf(const char* path, char* buf, int size) {
  if (buf == nullptr || size < 1) return -1;
  kiv::unique_fd fd(open(path, O_RDONLY | O_CLOEXEC));
  if (!fd.ok()) return -1;
  ssize_t r = safe_read(fd.get(), buf, static_cast<size_t>(size) - 1);
  buf[r < 0 ? 0 : r] = '\0';
  return r;
}
