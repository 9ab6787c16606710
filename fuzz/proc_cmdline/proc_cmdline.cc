// /proc/PID/cmdline as kiv_get_cmdline reads it, after the executable's
// path. Input: path length, buffer size, the path, then the cmdline bytes.
#include <stdlib.h>
#include <string.h>

#include "input.h"
#include "kiv_utils/proc_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static kiv::fuzz::InputFile file;
  kiv::fuzz::Cursor in(data, size);
  const size_t want_len = in.byte();
  const size_t buf_size = 1 + (in.byte() | (in.byte() & 1) << 8);  // 1..512
  size_t len;
  const uint8_t* path = in.take(want_len, &len);
  // The caller hands over only what readlink() can give: no NUL in the path,
  // and room for a separator, a character and the NUL after it.
  if (memchr(path, '\0', len) != nullptr || buf_size < len + 3) return -1;
  // The exact size, so that a write past it is caught.
  char* buf = static_cast<char*>(malloc(buf_size));
  memcpy(buf, path, len);
  (void)file.set(in.rest(), in.left());
  FILE* f = file.open();
  const int r = kiv::append_cmdline_args(f, buf, buf_size, len);
  (void)fclose(f);
  const size_t out = strnlen(buf, buf_size);
  if ((r != 0 && r != -2) || out == buf_size || memcmp(buf, path, len) != 0) abort();
  free(buf);
  return 0;
}
