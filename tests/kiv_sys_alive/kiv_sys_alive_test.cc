// The alive table: byte layout, per-entry operations and their range check, the master's one-time
// clear and sharing between processes and threads.
#include "kiv_sys_alive.h"

#include <string.h>

#include "support/fixture.h"

namespace kiv::test {
namespace {

class AliveTest : public SandboxTest {
 protected:
  void SetUpSandboxed() override {
    // This process is a client like any other; each test starts with every entry free.
    ASSERT_EQ(0, kiv_sys_init_alive_info(0));
    memset(raw() + 32, 0, KIV_ALIVE_SHM_SIZE - 32 - 3);
  }
  static unsigned char* raw() { return reinterpret_cast<unsigned char*>(g_kiv_alive_info.table); }
  // alive_probe's whole output, once it ended well.
  static std::string probe(const std::vector<std::string>& args) {
    TestProgram p("alive_probe", args);
    const std::string out = p.read_all();
    EXPECT_EQ(0, exit_code(p.wait())) << out;
    return without_line_numbers(out);
  }
};

TEST_F(AliveTest, EntriesLiveAtTheirOffsets) {
  raw()[33] = 0x81;  // ids 8 and 15
  ASSERT_EQ(0, kiv_sys_reg_alive_info(9));
  EXPECT_EQ(0x83, raw()[33]);
  EXPECT_EQ(1, raw()[20522]);
  EXPECT_EQ(1, kiv_sys_isreg_alive_info(9));
  EXPECT_EQ(0, kiv_sys_isreg_alive_info(10));
  ASSERT_EQ(0, kiv_sys_unreg_alive_info(9));
  EXPECT_EQ(0x81, raw()[33]) << "the other ids of the byte are left alone";
  EXPECT_EQ(0, raw()[20522]);
  ASSERT_EQ(0, kiv_sys_reg_alive_info(KIV_ALIVE_PID_MAX - 1));
  EXPECT_EQ(0x80, raw()[20511]);
  EXPECT_EQ(1, raw()[184352]);
  // A heartbeat of a free entry does not register it.
  ASSERT_EQ(0, kiv_sys_update_alive_seq(41));
  EXPECT_EQ(1, kiv_sys_get_alive_seq(41));
  EXPECT_EQ(0, kiv_sys_isreg_alive_info(41));
}

TEST_F(AliveTest, SequenceSkipsZero) {
  const struct { unsigned char from, to; } rows[] = {{0, 1}, {1, 2}, {254, 255}, {255, 1}};
  for (const auto& r : rows) {
    raw()[20513 + 300] = r.from;
    ASSERT_EQ(0, kiv_sys_update_alive_seq(300));
    EXPECT_EQ(r.to, kiv_sys_get_alive_seq(300)) << int{r.from};
  }
}

TEST_F(AliveTest, IdsOutsideTheTableAreRefusedAndWriteNothing) {
  const std::string before(reinterpret_cast<char*>(raw()), KIV_ALIVE_SHM_SIZE);
  EXPECT_EQ(-1, kiv_sys_reg_alive_info(KIV_ALIVE_PID_MAX));
  EXPECT_EQ(-1, kiv_sys_unreg_alive_info(KIV_ALIVE_PID_MAX + 7));
  EXPECT_EQ(-1, kiv_sys_update_alive_seq(-2));
  EXPECT_EQ(-1, kiv_sys_get_alive_seq(-1));
  EXPECT_EQ(0, kiv_sys_isreg_alive_info(-5));
  EXPECT_EQ(before, std::string(reinterpret_cast<char*>(raw()), KIV_ALIVE_SHM_SIZE));
}

TEST_F(AliveTest, OtherProcessesShareTheTableAndOnlyAMasterClearsItOnce) {
  const std::string unmapped = probe({"nomap", "12"});  // entry calls before any init
  EXPECT_EQ(4, count_of(unmapped, "=-1\n")) << unmapped;
  EXPECT_EQ(0777, mode_of(KIV_ALIVE_SHM_FILE)) << "processes of every user beat";
  EXPECT_EQ(0, raw()[32 + 1] + raw()[20513 + 12]);

  ASSERT_EQ(0, kiv_sys_reg_alive_info(77));
  EXPECT_EQ("init=0\nupdate=0\n", probe({"client", "77"}));
  EXPECT_EQ(2, kiv_sys_get_alive_seq(77)) << "a client does not clear";
  EXPECT_EQ(1, kiv_sys_isreg_alive_info(77));

  const std::string steps = "init=0\nafter=0\nreg=0\nsecond=0\nkept=1\n";
  const struct { const char* how; std::string out; } rows[] = {
      {"init", "[KIV:kiv_sys_alive:N]data clear is_master = 1, inited = 0\r\n" + steps},
      {"isreg", "before=1\n" + steps},  // clearing an already mapped table says nothing
  };
  for (const auto& r : rows) {
    raw()[0] = 0xAB;  // reserved bytes survive the clear
    raw()[12] = 0xCD;
    g_kiv_alive_info.table->table_size = 0;
    ASSERT_EQ(0, kiv_sys_reg_alive_info(77));
    ASSERT_EQ(0, kiv_sys_update_alive_seq(5000));
    EXPECT_EQ(r.out, probe({"master", "77", r.how}));
    EXPECT_EQ(0, kiv_sys_get_alive_seq(5000));
    EXPECT_EQ(1, kiv_sys_isreg_alive_info(77));
    EXPECT_EQ(0xAB, raw()[0]);
    EXPECT_EQ(0xCD, raw()[12]);
    EXPECT_EQ(static_cast<uint32_t>(KIV_ALIVE_SHM_SIZE), g_kiv_alive_info.table->table_size);
  }
}

// Mapping, the master's clear and entry operations from eight threads at once (races fail TSan).
TEST_F(AliveTest, ThreadsMapAndBeatAtOnce) { EXPECT_EQ("threads=ok\n", probe({"threads", "3000"})); }

}  // namespace
}  // namespace kiv::test
