// Whole reads and writes that survive interrupted system calls.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include "base/file_io.h"
#include "base/log.h"
#include "base/unique_fd.h"
#include "kiv_utils.h"

namespace kiv {
namespace {

constexpr char kLogModule[] = "kiv_utils";

}  // namespace
}  // namespace kiv

extern "C" ssize_t safe_read(int fd, void* buf, size_t n) { return kiv::read_all(fd, buf, n); }

extern "C" ssize_t safe_write(int fd, const void* buf, size_t n) { return kiv::write_all(fd, buf, n); }

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
  return kiv::read_small_file(path, buf, static_cast<size_t>(size));
}
