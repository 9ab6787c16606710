// The hex dumper: a memory block as a table of offset, 16 bytes in
// hexadecimal and the same bytes as characters, always printed.
#include <ctype.h>
#include <stdio.h>

#include "kiv_os.h"

namespace kiv {
namespace {

constexpr uint32_t kRowBytes = 16;
constexpr char kRule[] = "---------+-------------------------------------------------+-----------------\n";

// Graphic characters stand for themselves; the space, control bytes and
// everything the C classification does not call graphic become '.'.
char shown(unsigned char b) { return isgraph(b) ? static_cast<char>(b) : '.'; }

}  // namespace
}  // namespace kiv

extern "C" int kiv_os_dump_msg(const char* prefix, const void* msg, uint32_t len) {
  using kiv::kRowBytes;
  using kiv::shown;
  if (msg == nullptr || len == 0 || prefix == nullptr) {
    printf("argument err(prx:%p, msg:%p, len%u)!\n", static_cast<const void*>(prefix), msg, len);
    return 0;
  }
  const auto* b = static_cast<const unsigned char*>(msg);
  printf("dump %s msg(addr:%p, len:%u):\n", prefix, msg, len);
  printf(" Offset  |  0  1  2  3  4  5  6  7  8  9  A  B  C  D  E  F | 0123456789ABCDEF\n");
  printf("%s", kiv::kRule);
  const uint32_t full = len - len % kRowBytes;
  for (uint32_t off = 0; off < full; off += kRowBytes) {
    const unsigned char* r = b + off;
    printf("%08X | %02X %02X %02X %02X %02X %02X %02X %02X %02X %02X %02X %02X %02X %02X %02X %02X"
           " | %c%c%c%c%c%c%c%c%c%c%c%c%c%c%c%c\n",
           off, r[0], r[1], r[2], r[3], r[4], r[5], r[6], r[7], r[8], r[9], r[10], r[11], r[12],
           r[13], r[14], r[15], shown(r[0]), shown(r[1]), shown(r[2]), shown(r[3]), shown(r[4]),
           shown(r[5]), shown(r[6]), shown(r[7]), shown(r[8]), shown(r[9]), shown(r[10]),
           shown(r[11]), shown(r[12]), shown(r[13]), shown(r[14]), shown(r[15]));
  }
  if (full < len) {
    const uint32_t rest = len - full;
    printf("%08X |", full);
    for (uint32_t i = 0; i < rest; ++i) printf(" %02X", b[full + i]);
    // Three spaces per missing byte keep the second bar in its column.
    printf("%*s | ", static_cast<int>(3 * (kRowBytes - rest)), "");
    for (uint32_t i = 0; i < rest; ++i) putchar(shown(b[full + i]));
    putchar('\n');
  }
  printf("%s", kiv::kRule);
  return 0;
}
