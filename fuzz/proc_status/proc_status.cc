// /proc/ID/status as the library reads it: the owning process (Tgid), the
// name, and the VSD that the supplementary groups give.
// Input: the name buffer's size, then the status text.
#include <stdlib.h>
#include <string.h>

#include "input.h"
#include "kiv_utils/proc_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static kiv::fuzz::InputFile file;
  kiv::fuzz::Cursor in(data, size);
  const int n = 1 + in.byte();
  (void)file.set(in.rest(), in.left());

  FILE* f = file.open();
  (void)kiv::status_tgid(f);
  (void)fclose(f);

  char* name = static_cast<char*>(malloc(static_cast<size_t>(n)));
  f = file.open();
  const int r = kiv::status_name(f, name, n);
  (void)fclose(f);
  if (r != 0 && r != -1) abort();
  if (r == 0 && strnlen(name, static_cast<size_t>(n)) == static_cast<size_t>(n)) abort();
  free(name);

  f = file.open();
  (void)kiv::status_vsdid(f);
  (void)fclose(f);
  return 0;
}
