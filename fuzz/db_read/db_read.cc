// A pid database file as kiv_db_read reads it (the Manager and kivctl read
// every file of the world-writable database directories). Input: the
// destination's size, then the file.
#include <stdlib.h>
#include <string.h>

#include "input.h"
#include "kiv_pidfile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static kiv::fuzz::InputFile file;
  kiv::fuzz::Cursor in(data, size);
  const int n = 1 + in.byte();
  char* dst = static_cast<char*>(malloc(static_cast<size_t>(n)));
  int pid = 0, kind = 0;
  const int r = kiv_db_read(file.set(in.rest(), in.left()), &pid, &kind, dst, n);
  if (r != 0 && r != -1) abort();
  // The command line is taken from its first '/' on.
  if (r == 0 && (strnlen(dst, static_cast<size_t>(n)) == static_cast<size_t>(n) ||
                 (n > 1 && dst[0] != '/'))) {
    abort();
  }
  free(dst);
  return 0;
}
