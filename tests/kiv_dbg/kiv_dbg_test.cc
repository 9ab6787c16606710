// The log gate and the debug configuration file: which level lets which line through, which file
// lines set which level, and the two path messages printed whatever the levels.
#include "base/log.h"

#include <stdlib.h>
#include <sys/stat.h>

#include "support/fixture.h"

namespace kiv::test {
namespace {

constexpr char kLogModule[] = "kiv_test";
constexpr char kFile[] = "/data/cfg/qn_utils/qn_utils_dbg_cfg.txt";

class DbgTest : public SandboxTest {
 protected:
  void SetUpSandboxed() override {
    setenv(KIV_DATA_TALU_ENV, "/data/cfg", 1);
    for (const char* d : {"/data/cfg", "/data/cfg/qn_utils"}) mkdir(d, 0755);
  }
  void TearDownSandboxed() override { unsetenv(KIV_DATA_TALU_ENV); }
  // What a parse printed; its result is always 0.
  static std::string parse() { return capture_stdout([] { EXPECT_EQ(0, kiv_parse_dbg_file()); }); }
};

int g_evaluated = 0;

TEST_F(DbgTest, EachLevelGatesItsOwnLinesAndSuppressedOnesCostNothing) {
  const struct { int pub, alive, lib; std::string out; } rows[] = {
      {0, KIV_DBG_OFF, KIV_DBG_OFF, ""},  // the public level gates nothing inside
      {KIV_DBG_OFF, KIV_DBG_OFF, 0, "[KIV:kiv_test:N]lib 1\n"},
      {KIV_DBG_OFF, -7, KIV_DBG_OFF, "[KIV:kiv_test:N]alive 1\r\n"},  // negatives are on too
      {KIV_DBG_OFF, 5, 3, "[KIV:kiv_test:N]lib 1\n[KIV:kiv_test:N]alive 2\r\n"},
  };
  for (const auto& r : rows) {
    g_kiv_dbg_level[KIV_DBG_PUB] = r.pub;
    g_kiv_dbg_level[KIV_DBG_ALIVE] = r.alive;
    g_kiv_dbg_level[KIV_DBG_LIB] = r.lib;
    g_evaluated = 0;
    const std::string out = capture_stdout([] {
      KIV_LOG("lib %d\n", ++g_evaluated);
      KIV_LOG_ALIVE("alive %d\r\n", ++g_evaluated);
    });
    EXPECT_EQ(r.out, without_line_numbers(out));
    EXPECT_EQ(count_of(out, "[KIV"), g_evaluated) << "arguments of suppressed lines are not evaluated";
  }
}

TEST_F(DbgTest, FileLinesSetTheirLevelsAndOthersChangeNothing) {
  const std::string piece = std::string(127, 'x') + "g_kiv_lib_dbg_level 0\n";  // read in pieces of 127
  const struct {
    const char* text;     // null: no file
    int pub, alive, lib;  // after the parse, from all levels at 1
  } rows[] = {
      {"g_kiv_pub_dbg_level 4\ng_kiv_lib_dbg_level 0\n", KIV_DBG_OFF, 1, 0},
      {"g_kiv_pub_dbg_level 0\ng_kiv_alive_dbg_level\t -3\ng_kiv_lib_dbg_level7\ng_kiv_lib_dbg_level 2\n", 0, -3, 2},
      {"g_kiv_lib_dbg_level=0\n g_kiv_lib_dbg_level 0\nG_KIV_LIB_DBG_LEVEL 0\ng_kiv_lib_dbg_level\n"
       "# g_kiv_pub_dbg_level 0\n",
       1, 1, 1},
      {piece.c_str(), 1, 1, 0},
      {piece.c_str() + 1, 1, 1, 1},
      {nullptr, 1, 1, 1},
  };
  for (const auto& r : rows) {
    for (int i = 0; i < KIV_DBG_LEVELS; ++i) g_kiv_dbg_level[i] = 1;
    if (r.text != nullptr) write_file(kFile, r.text);
    if (r.text == nullptr) unlink(kFile);
    EXPECT_EQ("", parse());
    EXPECT_EQ(r.pub, g_kiv_dbg_level[KIV_DBG_PUB]) << r.text;
    EXPECT_EQ(r.alive, g_kiv_dbg_level[KIV_DBG_ALIVE]) << r.text;
    EXPECT_EQ(r.lib, g_kiv_dbg_level[KIV_DBG_LIB]) << r.text;
    EXPECT_EQ(r.pub != KIV_DBG_OFF, kiv_is_open_pub_dbg());
  }
}

TEST_F(DbgTest, PathMessagesArePrintedWhateverTheLevels) {
  write_file(kFile, "g_kiv_lib_dbg_level 0\n");
  const std::string fits = "/data/" + std::string(219, 'd');  // 225 + 30 suffix characters fit 255
  const struct { std::string dir, out; } rows[] = {  // dir empty: unset
      {"", "[KIV]<kiv_comp_config, kiv_make_vsd_data_talu_path, N>:get DATA_TALU_DIR fail!\r\n"},
      {fits, ""},
      {fits + "e", "[KIV]<kiv_comp_config, kiv_make_vsd_path, N>:not enough path memory(prefix:" + fits +
                                 "e, suffix:/qn_utils/qn_utils_dbg_cfg.txt, len:256)!\n"},
  };
  for (const auto& r : rows) {
    if (r.dir.empty()) unsetenv(KIV_DATA_TALU_ENV);
    if (!r.dir.empty()) setenv(KIV_DATA_TALU_ENV, r.dir.c_str(), 1);
    EXPECT_EQ(r.out, without_line_numbers(parse()));
    EXPECT_EQ(KIV_DBG_OFF, g_kiv_dbg_level[KIV_DBG_LIB]);
  }
}

}  // namespace
}  // namespace kiv::test
