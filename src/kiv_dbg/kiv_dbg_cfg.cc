// The debug configuration file: re-reads the three debug levels from
// $DATA_TALU_DIR/qn_utils/qn_utils_dbg_cfg.txt, and the public-level query.
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "base/errno_restorer.h"
#include "kiv_dbg.h"
#include "kiv_dbg/dbg_cfg.h"

extern "C" {
const char* kiv_dbg_lvl_str_pre[KIV_DBG_LEVELS + 1] = {
    "g_kiv_pub_dbg_level",
    "g_kiv_alive_dbg_level",
    "g_kiv_lib_dbg_level",
    "invlaid",
};
}

namespace kiv {
namespace {

// The path steps report under the name of the configuration header that
// defines the file's location, whatever the levels say.
constexpr char kPathSource[] = "kiv_comp_config";
// One line of the file: fgets() hands a longer line over in pieces of this
// many characters, each of which is then parsed as a line of its own.
constexpr int kLineChars = 127;

// dst = prefix + suffix, within a dst_size-byte buffer. Returns 0, or -1
// (after its message) when the two do not fit together.
int kiv_make_vsd_path(const char* prefix, const char* suffix, char* dst, size_t dst_size) {
  const size_t prefix_len = strlen(prefix);
  const size_t suffix_len = strlen(suffix);
  if (prefix_len + suffix_len + 1 > dst_size) {
    printf("[KIV]<%s, %s, %d>:not enough path memory(prefix:%s, suffix:%s, len:%d)!\n",
           kPathSource, __func__, __LINE__, prefix, suffix, static_cast<int>(dst_size));
    return -1;
  }
  memcpy(dst, prefix, prefix_len);
  memcpy(dst + prefix_len, suffix, suffix_len + 1);
  return 0;
}

// dst = $DATA_TALU_DIR + suffix. Returns 0, or -1 after its message.
int kiv_make_vsd_data_talu_path(const char* suffix, char* dst, size_t dst_size) {
  const char* dir = getenv(KIV_DATA_TALU_ENV);
  if (dir == nullptr) {
    printf("[KIV]<%s, %s, %d>:get DATA_TALU_DIR fail!\r\n", kPathSource, __func__, __LINE__);
    return -1;
  }
  return kiv_make_vsd_path(dir, suffix, dst, dst_size);
}

// Sets the level of the first key that begins the line: the key, any white
// space (none included), then a signed decimal integer. Without an integer
// there, or with one that does not fit the level, the level stays.
void apply_line(const char* line) {
  for (int i = 0; i < KIV_DBG_LEVELS; ++i) {
    const char* key = kiv_dbg_lvl_str_pre[i];
    const size_t key_len = strlen(key);
    if (strncmp(line, key, key_len) != 0) continue;
    const char* num = line + key_len;
    char* end = nullptr;
    errno = 0;
    // strtol skips the white space and takes the sign as %d would.
    const long value = strtol(num, &end, 10);
    if (end != num && errno == 0 && value >= INT_MIN && value <= INT_MAX) {
      __atomic_store_n(&g_kiv_dbg_level[i], static_cast<int>(value), __ATOMIC_RELAXED);
    }
    return;
  }
}

}  // namespace

void parse_dbg_lines(FILE* f) {
  char line[kLineChars + 1];
  while (fgets(line, sizeof line, f) != nullptr) apply_line(line);
}

namespace {

int _kiv_parse_dbg_file() {
  char path[KIV_DBG_CFG_PATH_MAX];
  if (kiv_make_vsd_data_talu_path(KIV_DBG_CFG_SUFFIX, path, sizeof path) != 0) return -1;
  // "e": the descriptor is close-on-exec from the moment it exists.
  FILE* f = fopen(path, "re");
  if (f == nullptr) return -1;
  parse_dbg_lines(f);
  (void)fclose(f);
  return 0;
}

}  // namespace
}  // namespace kiv

extern "C" int kiv_parse_dbg_file(void) {
  kiv::ErrnoRestorer keep_errno;
  (void)kiv::_kiv_parse_dbg_file();
  return 0;
}

extern "C" int kiv_is_open_pub_dbg(void) {
  return __atomic_load_n(&g_kiv_dbg_level[KIV_DBG_PUB], __ATOMIC_RELAXED) != KIV_DBG_OFF ? 1 : 0;
}
