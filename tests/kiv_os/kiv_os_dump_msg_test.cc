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

TEST_F(DumpTest, PartialFullAndSpilledRows) {
  const struct {
    std::vector<unsigned char> bytes;
    std::string rows;
  } cases[] = {
      {{0x20, 0x41, 0x7F}, "00000000 | 20 41 7F" + std::string(13 * 3, ' ') + " | .A.\n"},
      {{'H', 'e', 'l', 'l', 'o', ' ', 0x00, 0x09, 0x7F, 0x80, 0xFF, '~', '!', 0x41, '0', '\n'},
       "00000000 | 48 65 6C 6C 6F 20 00 09 7F 80 FF 7E 21 41 30 0A | Hello......~!A0.\n"},
      {{'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J', 'K', 'L', 'M', 'N', 'O', 'P', 'Q'},
       "00000000 | 41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F 50 | ABCDEFGHIJKLMNOP\n"
       "00000010 | 51" + std::string(15 * 3, ' ') + " | Q\n"},
  };
  for (const auto& c : cases) {
    const auto len = static_cast<uint32_t>(c.bytes.size());
    EXPECT_EQ(title("req", c.bytes.data(), len) + kHeader + c.rows + kRule, dump("req", c.bytes.data(), len));
  }
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
  const struct {
    const char* prefix;
    const void* msg;
    uint32_t len;
  } cases[] = {{nullptr, b, 1}, {"p", b, 0}, {"p", nullptr, 4}};
  for (const auto& c : cases) {
    char want[128];
    snprintf(want, sizeof want, "argument err(prx:%p, msg:%p, len%u)!\n", static_cast<const void*>(c.prefix),
             c.msg, c.len);
    EXPECT_EQ(want, dump(c.prefix, c.msg, c.len));
  }
}

}  // namespace
}  // namespace kiv::test
