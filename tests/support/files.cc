// Small file helpers for tests (see files.h).
#include "support/files.h"

#include <fcntl.h>
#include <ftw.h>
#include <stdio.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace kiv::test {

std::string read_file(const std::string& path) {
  std::string out;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return out;
  char buf[4096];
  for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) out.append(buf, static_cast<size_t>(n));
  close(fd);
  return out;
}

void remove_tree(const std::string& path) {
  nftw(
      path.c_str(), [](const char* p, const struct stat*, int, struct FTW*) { return remove(p) == 0 ? 0 : 0; },
      16, FTW_DEPTH | FTW_PHYS);
}

bool wait_for_file(const std::string& path, int timeout_ms) {
  for (int waited = 0; waited <= timeout_ms; waited += 5) {
    if (access(path.c_str(), F_OK) == 0) return true;
    usleep(5000);
  }
  return false;
}

}  // namespace kiv::test
