// /proc/PID/stat as process_life reads it: the whole text through
// kiv_read_to_buf, then the state letter after the last ')'.
#include <stdlib.h>
#include <string.h>

#include "base/proc.h"
#include "input.h"
#include "kiv_utils.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static kiv::fuzz::InputFile file;
  char text[1024];
  const ssize_t n = kiv_read_to_buf(file.set(data, size), text, sizeof text);
  if (n < 0 || static_cast<size_t>(n) >= sizeof text || text[n] != '\0') abort();
  (void)kiv::stat_says_alive(text);
  return 0;
}
