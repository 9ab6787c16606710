// /proc/PID/smaps as the memory watch reads it (get_vsd_mem). Input: the
// VSD number, then the smaps text. Only that VSD's slot may change.
#include <stdlib.h>
#include <string.h>

#include "input.h"
#include "kiv_vsd.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static kiv::fuzz::InputFile file;
  kiv::fuzz::Cursor in(data, size);
  const int vsd = static_cast<int8_t>(in.byte());
  uint64_t table[KIV_VSD_SLOTS] = {};
  if (get_vsd_mem(file.set(in.rest(), in.left()), vsd, table) != 0) abort();
  const int slot = vsd < 0 ? 0 : vsd;
  for (int i = 0; i < KIV_VSD_SLOTS; ++i) {
    if (i != slot && table[i] != 0) abort();
  }
  return 0;
}
