// Capturing standard output (see capture.h).
#include "support/capture.h"

#include <stdio.h>
#include <sys/mman.h>
#include <unistd.h>

namespace kiv::test {

std::string capture_stdout(const std::function<void()>& fn) {
  fflush(stdout);
  int mem = memfd_create("kiv-capture", MFD_CLOEXEC);
  int saved = dup(1);
  dup2(mem, 1);
  fn();
  fflush(stdout);
  dup2(saved, 1);
  close(saved);
  std::string out;
  char buf[4096];
  lseek(mem, 0, SEEK_SET);
  for (ssize_t n; (n = read(mem, buf, sizeof buf)) > 0;) out.append(buf, static_cast<size_t>(n));
  close(mem);
  return out;
}

}  // namespace kiv::test
