// The debug configuration file: which lines set which level, what is left
// alone, and the two path messages that are printed whatever the levels.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <fstream>
#include <string>

#include "kiv_dbg.h"
#include "kiv_sem.h"
#include "support/capture.h"
#include "support/fixture.h"
#include "support/log_text.h"

namespace kiv::test {
namespace {

constexpr char kDir[] = "/data/cfgroot";
constexpr char kFile[] = "/data/cfgroot/qn_utils/qn_utils_dbg_cfg.txt";

class DbgCfgTest : public SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    if (IsSkipped()) return;
    setenv(KIV_DATA_TALU_ENV, kDir, 1);
    mkdir(kDir, 0755);
    mkdir((std::string(kDir) + "/qn_utils").c_str(), 0755);
  }
  void TearDown() override {
    unsetenv(KIV_DATA_TALU_ENV);
    SandboxTest::TearDown();
  }

  static void write_cfg(const std::string& text) { std::ofstream(kFile) << text; }

  // Parses, checks the result, and returns what the parse printed.
  static std::string parse() {
    int rc = -99;
    std::string out = capture_stdout([&] { rc = kiv_parse_dbg_file(); });
    EXPECT_EQ(0, rc);
    return out;
  }

  static int lib() { return g_kiv_dbg_level[KIV_DBG_LIB]; }
};

TEST_F(DbgCfgTest, UnsetVariablePrintsEvenWithLevelsOffAndChangesNothing) {
  write_cfg("g_kiv_lib_dbg_level 0\n");
  unsetenv(KIV_DATA_TALU_ENV);
  g_kiv_dbg_level[KIV_DBG_PUB] = 7;
  std::string out = parse();
  EXPECT_EQ("[KIV]<kiv_comp_config, kiv_make_vsd_data_talu_path, N>:get DATA_TALU_DIR fail!\r\n",
            without_line_numbers(out));
  EXPECT_EQ(7, g_kiv_dbg_level[KIV_DBG_PUB]);
  EXPECT_EQ(KIV_DBG_OFF, g_kiv_dbg_level[KIV_DBG_ALIVE]);
  EXPECT_EQ(KIV_DBG_OFF, lib());
}

TEST_F(DbgCfgTest, PathMustFit255Characters) {
  // 225 + 30 suffix characters fit 255; one more does not.
  std::string fits = "/data/" + std::string(219, 'd');
  setenv(KIV_DATA_TALU_ENV, fits.c_str(), 1);
  g_kiv_dbg_level[KIV_DBG_LIB] = 0;  // even with messages on
  EXPECT_EQ("", parse());  // missing file: silent, and nothing changes
  EXPECT_EQ(0, lib());
  EXPECT_EQ(KIV_DBG_OFF, g_kiv_dbg_level[KIV_DBG_PUB]);

  std::string too_long = fits + "e";
  setenv(KIV_DATA_TALU_ENV, too_long.c_str(), 1);
  std::string out = parse();
  EXPECT_EQ("[KIV]<kiv_comp_config, kiv_make_vsd_path, N>:not enough path memory(prefix:" + too_long +
                ", suffix:/qn_utils/qn_utils_dbg_cfg.txt, len:256)!\n",
            without_line_numbers(out));
}

TEST_F(DbgCfgTest, LibLevelTurnsLibraryMessagesOnAndOff) {
  // A library call that fails with a log line: no control semaphore exists.
  auto lib_message = [] { return capture_stdout([] { (void)kiv_get_semval(); }); };
  EXPECT_EQ("", lib_message());

  write_cfg("g_kiv_lib_dbg_level 0\n");
  EXPECT_EQ("", parse());
  EXPECT_EQ(0, lib());
  EXPECT_NE(std::string::npos, lib_message().find("[KIV:kiv_sem:")) << "lib level 0 is on";

  write_cfg("g_kiv_lib_dbg_level 4\n");
  parse();
  EXPECT_EQ(KIV_DBG_OFF, lib());
  EXPECT_EQ("", lib_message());
}

TEST_F(DbgCfgTest, KeysSetTheirLevelsLaterLinesWinAbsentKeysStay) {
  write_cfg(
      "g_kiv_pub_dbg_level 0\n"
      "g_kiv_alive_dbg_level\t -3\n"
      "g_kiv_lib_dbg_level7\n"
      "g_kiv_lib_dbg_level 2\n"
      // Lines that do not match change nothing.
      "g_kiv_lib_dbg_level=1\n"
      " g_kiv_lib_dbg_level 1\n"
      "G_KIV_LIB_DBG_LEVEL 1\n"
      "g_kiv_lib_dbg_level\n"
      "# g_kiv_pub_dbg_level 1\n"
      "g_kiv_lib_dbg_level 99999999999\n");
  parse();
  EXPECT_EQ(0, g_kiv_dbg_level[KIV_DBG_PUB]);
  EXPECT_EQ(-3, g_kiv_dbg_level[KIV_DBG_ALIVE]);
  EXPECT_EQ(2, lib());
  EXPECT_EQ(1, kiv_is_open_pub_dbg());

  // Removing a line does not reset its level.
  write_cfg("g_kiv_alive_dbg_level 4\n");
  parse();
  EXPECT_EQ(0, g_kiv_dbg_level[KIV_DBG_PUB]);
  EXPECT_EQ(KIV_DBG_OFF, g_kiv_dbg_level[KIV_DBG_ALIVE]);
  EXPECT_EQ(2, lib());

  write_cfg("g_kiv_pub_dbg_level 4\n");
  parse();
  EXPECT_EQ(0, kiv_is_open_pub_dbg());
}

TEST_F(DbgCfgTest, LongLinesAreReadIn127CharacterPieces) {
  // The key right after 127 characters starts a piece of its own.
  write_cfg(std::string(127, 'x') + "g_kiv_lib_dbg_level 0\n");
  parse();
  EXPECT_EQ(0, lib());

  // One character earlier, the key is split across two pieces.
  write_cfg(std::string(126, 'x') + "g_kiv_pub_dbg_level 0\n");
  parse();
  EXPECT_EQ(KIV_DBG_OFF, g_kiv_dbg_level[KIV_DBG_PUB]);
}

}  // namespace
}  // namespace kiv::test
