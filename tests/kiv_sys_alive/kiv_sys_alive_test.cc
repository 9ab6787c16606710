// The alive table: byte layout, per-entry operations and their range check, the master's one-time
// clear, sharing between processes, and a heartbeat that makes no system call.
#include "kiv_sys_alive.h"

#include <linux/seccomp.h>
#include <pwd.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>

#include "support/fixture.h"
#include "support/sanitizer.h"

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
  static std::string probe(const std::vector<std::string>& args, int uid = -1) {
    TestProgram p("alive_probe", args, {"", uid, {}, {}, false});
    const std::string out = p.read_all();
    EXPECT_EQ(0, exit_code(p.wait())) << out;
    return without_line_numbers(out);
  }
};

TEST_F(AliveTest, ObjectIsWholePagesOpenToEveryone) {
  struct stat st;
  ASSERT_EQ(0, stat(KIV_ALIVE_SHM_FILE, &st));
  EXPECT_EQ(0777, mode_of(KIV_ALIVE_SHM_FILE));
  const long page = sysconf(_SC_PAGESIZE);
  EXPECT_EQ((KIV_ALIVE_SHM_SIZE + page - 1) / page * page, st.st_size);
  EXPECT_EQ(g_kiv_alive_info.record.addr, static_cast<void*>(g_kiv_alive_info.table));
}

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

TEST_F(AliveTest, IdsOutsideTheTableAreRefusedUnderTheAliveLevel) {
  const std::string before(reinterpret_cast<char*>(raw()), KIV_ALIVE_SHM_SIZE);
  g_kiv_dbg_level[KIV_DBG_LIB] = 0;  // not the gate of these lines
  EXPECT_EQ("", capture_stdout([] { EXPECT_EQ(-1, kiv_sys_reg_alive_info(KIV_ALIVE_PID_MAX)); }));
  g_kiv_dbg_level[KIV_DBG_LIB] = KIV_DBG_OFF;
  g_kiv_dbg_level[KIV_DBG_ALIVE] = 0;
  const std::string out = capture_stdout([] {
    EXPECT_EQ(-1, kiv_sys_reg_alive_info(KIV_ALIVE_PID_MAX));
    EXPECT_EQ(-1, kiv_sys_unreg_alive_info(KIV_ALIVE_PID_MAX + 7));
    EXPECT_EQ(-1, kiv_sys_update_alive_seq(-2));
    EXPECT_EQ(-1, kiv_sys_get_alive_seq(-1));
    EXPECT_EQ(0, kiv_sys_isreg_alive_info(-5));
  });
  EXPECT_EQ(
      "[KIV:kiv_sys_alive:N]pid err(pid:163840)!\r\n[KIV:kiv_sys_alive:N]pid err(pid:163847)!\r\n"
      "[KIV:kiv_sys_alive:N]pid err(pid:-2)!\r\n[KIV:kiv_sys_alive:N]pid err(pid:-1)!\r\n"
      "[KIV:kiv_sys_alive:N]pid err(pid:-5)!\r\n",
      without_line_numbers(out));
  EXPECT_EQ(before, std::string(reinterpret_cast<char*>(raw()), KIV_ALIVE_SHM_SIZE)) << "nothing is written";
}

TEST_F(AliveTest, OtherProcessesShareTheTableAndOnlyAMasterClearsItOnce) {
  std::string nomap;
  for (const auto& [step, call] : {std::pair{"reg", "reg_alive_info"}, {"unreg", "unreg_alive_info"},
                                   {"update", "update_alive_seq"}, {"get", "get_alive_seq"}})
    nomap += std::string("[KIV:kiv_sys_alive:N]kiv_sys_") + call + ": alive table not mapped(pid:12)!\r\n" + step + "=-1\n";
  EXPECT_EQ(nomap, probe({"nomap", "12"}));
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

TEST_F(AliveTest, UserWhoCannotChmodGetsMinusOneOnceThenTheTable) {
  const struct passwd* nobody = getpwnam("nobody");
  if (nobody == nullptr) GTEST_SKIP() << "no user nobody";
  ASSERT_EQ(0, kiv_sys_reg_alive_info(123));
  EXPECT_EQ(
      "[KIV:kiv_sys_alive:N]change mode failed!\r\n[KIV:kiv_sys_alive:N]fail to init alive_info(ret:-1)!!!\n"
      "isreg=0\ninit=0\nisreg=1\n",
      probe({"isreg", "123"}, static_cast<int>(nobody->pw_uid)));
}

TEST_F(AliveTest, MappedHeartbeatMakesNoSystemCall) {
  // Its runtime makes system calls of its own in a forked child.
  if (kThreadSanitized) GTEST_SKIP() << "not under ThreadSanitizer";
  ASSERT_EQ(0, kiv_sys_reg_alive_info(4242));
  // Bound before the filter is on: the lazy binding of a first call is no business of the library's.
  ASSERT_EQ(1, kiv_sys_isreg_alive_info(4242) + kiv_sys_update_alive_seq(4243));
  // Strict mode allows read, write, exit and sigreturn only: any other call kills the child.
  ChildResult r = run_in_child([] {
    if (prctl(PR_SET_SECCOMP, SECCOMP_MODE_STRICT) != 0) return 3;
    int bad = 0;
    for (int i = 0; i < 1000; ++i) bad += !kiv_sys_isreg_alive_info(4242) + kiv_sys_update_alive_seq(4242);
    syscall(SYS_exit, bad == 0 ? 0 : 1);
    return 4;
  });
  EXPECT_TRUE(r.exited(0)) << exit_code(r) << " (-1009: a system call was made)";
  EXPECT_EQ(1000 % 255 + 1, kiv_sys_get_alive_seq(4242));
}

}  // namespace
}  // namespace kiv::test
