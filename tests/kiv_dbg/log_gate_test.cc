// The log gate: which level lets which line through, and that a suppressed
// line costs nothing, not even the evaluation of its arguments.
#include "base/log.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <string.h>

#include "kiv_dbg.h"
#include "support/capture.h"
#include "support/fixture.h"

namespace kiv::test {
namespace {

constexpr char kLogModule[] = "kiv_test";

class LogGateTest : public SandboxTest {};

int g_evaluated = 0;
int side_effect() { return ++g_evaluated; }

TEST_F(LogGateTest, LevelsStartOffAndSuppressWithoutEvaluating) {
  g_evaluated = 0;
  std::string out = capture_stdout([] {
    KIV_LOG("lib %d\n", side_effect());
    KIV_LOG_ALIVE("alive %d\n", side_effect());
  });
  EXPECT_EQ("", out);
  EXPECT_EQ(0, g_evaluated);
}

TEST_F(LogGateTest, EachLevelGatesItsOwnLines) {
  g_kiv_dbg_level[KIV_DBG_LIB] = 0;
  std::string out = capture_stdout([] {
    KIV_LOG("lib\n");
    KIV_LOG_ALIVE("alive\n");
  });
  EXPECT_EQ("[KIV:kiv_test:" + std::to_string(__LINE__ - 3) + "]lib\n", out);

  g_kiv_dbg_level[KIV_DBG_LIB] = KIV_DBG_OFF;
  g_kiv_dbg_level[KIV_DBG_ALIVE] = -7;  // anything but 4 is on, negatives too
  out = capture_stdout([] {
    KIV_LOG("lib\n");
    KIV_LOG_ALIVE("alive\r\n");
  });
  EXPECT_EQ("[KIV:kiv_test:" + std::to_string(__LINE__ - 2) + "]alive\r\n", out);

  g_kiv_dbg_level[KIV_DBG_ALIVE] = 5;
  g_kiv_dbg_level[KIV_DBG_PUB] = 0;  // the public level gates nothing here
  out = capture_stdout([] { KIV_LOG("x\n"); });
  EXPECT_EQ("", out);
}

TEST_F(LogGateTest, LoggingKeepsErrno) {
  g_kiv_dbg_level[KIV_DBG_LIB] = 0;
  capture_stdout([] {
    errno = ENOSPC;
    KIV_LOG("%s\n", strerror(errno));
    KIV_PRINT("always\n");
    EXPECT_EQ(ENOSPC, errno);
  });
}

TEST_F(LogGateTest, AlwaysPrintedLinesIgnoreTheLevels) {
  std::string out = capture_stdout([] { KIV_PRINT("bad %d\n", 3); });
  EXPECT_EQ("[KIV:kiv_test:" + std::to_string(__LINE__ - 1) + "]bad 3\n", out);
}

}  // namespace
}  // namespace kiv::test
