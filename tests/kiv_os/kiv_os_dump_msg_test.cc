// The hex dump's table, character for character.
#include <gtest/gtest.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "kiv_os.h"
#include "support/capture.h"
#include "support/fixture.h"

namespace kiv::test {
namespace {

constexpr char kHeader[] =
    " Offset  |  0  1  2  3  4  5  6  7  8  9  A  B  C  D  E  F | 0123456789ABCDEF\n"
    "---------+-------------------------------------------------+-----------------\n";
constexpr char kRule[] =
    "---------+-------------------------------------------------+-----------------\n";

using DumpTest = SandboxTest;

std::string dump(const char* prefix, const void* msg, uint32_t len) {
  return capture_stdout([&] { (void)kiv_os_dump_msg(prefix, msg, len); });
}

std::string title(const char* prefix, const void* msg, uint32_t len) {
  char buf[128];
  snprintf(buf, sizeof buf, "dump %s msg(addr:%p, len:%u):\n", prefix, msg, len);
  return buf;
}

TEST_F(DumpTest, ThreeBytesMakeOnlyAPartialRow) {
  const unsigned char b[] = {0x20, 0x41, 0x7F};
  EXPECT_EQ(title("req", b, 3) + kHeader +
                "00000000 | 20 41 7F                                        | .A.\n" + kRule,
            dump("req", b, 3));
}

TEST_F(DumpTest, SixteenBytesMakeOneFullRow) {
  const unsigned char b[16] = {'H', 'e', 'l', 'l', 'o', ' ', 0x00, 0x09,
                               0x7F, 0x80, 0xFF, '~', '!', 0x41, '0', '\n'};
  EXPECT_EQ(title("x", b, 16) + kHeader +
                "00000000 | 48 65 6C 6C 6F 20 00 09 7F 80 FF 7E 21 41 30 0A | Hello......~!A0.\n" +
                kRule,
            dump("x", b, 16));
}

TEST_F(DumpTest, SeventeenBytesAddARowWithOneByteAndFifteenGaps) {
  std::vector<unsigned char> b(17);
  for (int i = 0; i < 17; ++i) b[i] = static_cast<unsigned char>(0x41 + i);
  std::string out = dump("p", b.data(), 17);
  EXPECT_EQ(title("p", b.data(), 17) + kHeader +
                "00000000 | 41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F 50 | ABCDEFGHIJKLMNOP\n"
                "00000010 | 51" + std::string(15 * 3, ' ') + " | Q\n" + kRule,
            out);
}

TEST_F(DumpTest, BarsLineUpInEveryRow) {
  std::vector<unsigned char> b(16 * 300 + 5, 0x2E);
  std::string out = dump("big", b.data(), static_cast<uint32_t>(b.size()));
  size_t rows = 0;
  for (size_t pos = out.find('\n') + 1; pos < out.size();) {
    size_t end = out.find('\n', pos);
    std::string line = out.substr(pos, end - pos);
    if (line[0] != '-') {
      EXPECT_EQ('|', line.at(9)) << line;
      EXPECT_EQ('|', line.at(59)) << line;
      rows += line[0] != ' ';
    }
    pos = end + 1;
  }
  EXPECT_EQ(301u, rows);
  EXPECT_NE(std::string::npos, out.find("000012C0 | 2E 2E 2E 2E 2E   "));
}

TEST_F(DumpTest, BadArgumentsPrintOneLine) {
  const char b[] = "a";
  char want[128];
  snprintf(want, sizeof want, "argument err(prx:%p, msg:%p, len%u)!\n", static_cast<const void*>(nullptr),
           static_cast<const void*>(b), 1u);
  EXPECT_EQ(want, dump(nullptr, b, 1));
  const char* p = "p";
  snprintf(want, sizeof want, "argument err(prx:%p, msg:%p, len%u)!\n", static_cast<const void*>(p),
           static_cast<const void*>(b), 0u);
  EXPECT_EQ(want, dump(p, b, 0));
  snprintf(want, sizeof want, "argument err(prx:%p, msg:%p, len%u)!\n", static_cast<const void*>(p),
           static_cast<const void*>(nullptr), 4u);
  EXPECT_EQ(want, dump(p, nullptr, 4));
}

}  // namespace
}  // namespace kiv::test
