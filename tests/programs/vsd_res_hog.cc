// A process with a known resident set for the memory tests: it maps and
// touches KIB kibibytes of anonymous memory (locked, so that no reclaim
// shrinks it), tells its starter that it is ready with one byte on
// descriptor 3, then waits to be killed.
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const size_t bytes = strtoul(argv[1], nullptr, 10) * 1024;
  if (bytes > 0) {
    void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return 3;
    memset(p, 0x5a, bytes);
    (void)mlock(p, bytes);
  }
  const char ready = 'r';
  if (write(3, &ready, 1) != 1) return 1;
  close(3);
  alarm(120);  // ends by itself should a test forget it
  for (;;) pause();
}
