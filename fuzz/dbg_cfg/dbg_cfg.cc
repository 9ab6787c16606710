// The debug configuration file as kiv_parse_dbg_file reads it. The levels
// go back to off after each input, so that no input turns logging on for
// the next one.
#include "input.h"
#include "kiv_dbg.h"
#include "kiv_dbg/dbg_cfg.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static kiv::fuzz::InputFile file;
  (void)file.set(data, size);
  FILE* f = file.open();
  kiv::parse_dbg_lines(f);
  (void)fclose(f);
  for (int i = 0; i < KIV_DBG_LEVELS; ++i) g_kiv_dbg_level[i] = KIV_DBG_OFF;
  return 0;
}
