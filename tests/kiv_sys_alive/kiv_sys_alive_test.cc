// The alive table in shared memory: its byte layout, the per-entry
// operations and their range check, the master's one-time clear, sharing
// between processes, and a heartbeat that makes no system call.
#include "kiv_sys_alive.h"

#include <pwd.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <string>

#include <gtest/gtest.h>

#include "kiv_dbg.h"
#include "support/capture.h"
#include "support/fixture.h"
#include "support/log_text.h"
#include "support/program.h"

namespace kiv::test {
namespace {

class AliveTest : public SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    if (IsSkipped()) return;
    // This process is a client like any other; it starts each test from a
    // table with every entry free.
    ASSERT_EQ(0, kiv_sys_init_alive_info(0));
    ASSERT_NE(nullptr, g_kiv_alive_info.table);
    memset(raw() + 32, 0, KIV_ALIVE_SHM_SIZE - 32 - 3);
  }
  // The mapping as bytes, to check the layout by offset.
  static unsigned char* raw() { return reinterpret_cast<unsigned char*>(g_kiv_alive_info.table); }

  // Runs alive_probe and returns its whole output after checking it ended well.
  static std::string probe(const std::vector<std::string>& args, int uid = -1) {
    ProgramOptions opt;
    opt.uid = uid;
    TestProgram p("alive_probe", args, opt);
    std::string out = p.read_all();
    int status = p.wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << "\n" << out;
    return out;
  }
};

TEST_F(AliveTest, ObjectIsWholePagesAndOpenToEveryone) {
  struct stat st;
  ASSERT_EQ(0, stat(KIV_ALIVE_SHM_FILE, &st));
  EXPECT_EQ(0777u, st.st_mode & 0777);
  const long page = sysconf(_SC_PAGESIZE);
  EXPECT_EQ((KIV_ALIVE_SHM_SIZE + page - 1) / page * page, st.st_size);
  EXPECT_EQ(static_cast<uint32_t>(st.st_size), g_kiv_alive_info.record.size);
  EXPECT_EQ(g_kiv_alive_info.record.addr, static_cast<void*>(g_kiv_alive_info.table));
}

TEST_F(AliveTest, RegisterAndUnregisterAtTheTableOffsets) {
  raw()[33] = 0x81;  // ids 8 and 15
  ASSERT_EQ(0, kiv_sys_reg_alive_info(9));
  EXPECT_EQ(0x83, raw()[33]);
  EXPECT_EQ(1, raw()[20522]);
  EXPECT_EQ(1, kiv_sys_isreg_alive_info(9));
  EXPECT_EQ(0, kiv_sys_isreg_alive_info(10));
  EXPECT_EQ(1, kiv_sys_get_alive_seq(9));

  ASSERT_EQ(0, kiv_sys_unreg_alive_info(9));
  EXPECT_EQ(0x81, raw()[33]) << "the other ids of the byte are left alone";
  EXPECT_EQ(0, raw()[20522]);
  EXPECT_EQ(0, kiv_sys_isreg_alive_info(9));

  // The last id: bit 7 of byte 20511, sequence at 184352.
  ASSERT_EQ(0, kiv_sys_reg_alive_info(KIV_ALIVE_PID_MAX - 1));
  EXPECT_EQ(0x80, raw()[20511]);
  EXPECT_EQ(0, raw()[20512]);
  EXPECT_EQ(1, raw()[184352]);
  EXPECT_EQ(1, kiv_sys_isreg_alive_info(KIV_ALIVE_PID_MAX - 1));
}

TEST_F(AliveTest, SequenceNeverReturnsToZero) {
  ASSERT_EQ(0, kiv_sys_reg_alive_info(300));
  raw()[20513 + 300] = 254;
  ASSERT_EQ(0, kiv_sys_update_alive_seq(300));
  EXPECT_EQ(255, kiv_sys_get_alive_seq(300));
  ASSERT_EQ(0, kiv_sys_update_alive_seq(300));
  EXPECT_EQ(1, kiv_sys_get_alive_seq(300));
  ASSERT_EQ(0, kiv_sys_update_alive_seq(300));
  EXPECT_EQ(2, raw()[20513 + 300]);

  // An update of a free entry does not register it.
  ASSERT_EQ(0, kiv_sys_update_alive_seq(41));
  EXPECT_EQ(1, kiv_sys_get_alive_seq(41));
  EXPECT_EQ(0, raw()[32 + 41 / 8]);
  EXPECT_EQ(0, kiv_sys_isreg_alive_info(41));
}

TEST_F(AliveTest, IdsOutsideTheTableAreRefusedUnderTheAliveLevel) {
  const std::string before(reinterpret_cast<char*>(raw()), KIV_ALIVE_SHM_SIZE);
  g_kiv_dbg_level[KIV_DBG_LIB] = 0;  // the lib level does not gate these
  std::string quiet = capture_stdout([] {
    EXPECT_EQ(-1, kiv_sys_reg_alive_info(KIV_ALIVE_PID_MAX));
    EXPECT_EQ(-1, kiv_sys_get_alive_seq(-1));
  });
  EXPECT_EQ("", quiet);

  g_kiv_dbg_level[KIV_DBG_LIB] = KIV_DBG_OFF;
  g_kiv_dbg_level[KIV_DBG_ALIVE] = 0;
  std::string out = capture_stdout([] {
    EXPECT_EQ(-1, kiv_sys_reg_alive_info(KIV_ALIVE_PID_MAX));
    EXPECT_EQ(-1, kiv_sys_unreg_alive_info(KIV_ALIVE_PID_MAX + 7));
    EXPECT_EQ(-1, kiv_sys_update_alive_seq(-2));
    EXPECT_EQ(-1, kiv_sys_get_alive_seq(-1));
    EXPECT_EQ(0, kiv_sys_isreg_alive_info(-5));
  });
  EXPECT_EQ(
      "[KIV:kiv_sys_alive:N]pid err(pid:163840)!\r\n"
      "[KIV:kiv_sys_alive:N]pid err(pid:163847)!\r\n"
      "[KIV:kiv_sys_alive:N]pid err(pid:-2)!\r\n"
      "[KIV:kiv_sys_alive:N]pid err(pid:-1)!\r\n"
      "[KIV:kiv_sys_alive:N]pid err(pid:-5)!\r\n",
      without_line_numbers(out));
  EXPECT_EQ(before, std::string(reinterpret_cast<char*>(raw()), KIV_ALIVE_SHM_SIZE)) << "nothing is written";
}

TEST_F(AliveTest, EntryCallsBeforeMappingAreRefused) {
  std::string out = probe({"nomap", "12"});
  EXPECT_EQ(
      "[KIV:kiv_sys_alive:N]kiv_sys_reg_alive_info: alive table not mapped(pid:12)!\r\nreg=-1\n"
      "[KIV:kiv_sys_alive:N]kiv_sys_unreg_alive_info: alive table not mapped(pid:12)!\r\nunreg=-1\n"
      "[KIV:kiv_sys_alive:N]kiv_sys_update_alive_seq: alive table not mapped(pid:12)!\r\nupdate=-1\n"
      "[KIV:kiv_sys_alive:N]kiv_sys_get_alive_seq: alive table not mapped(pid:12)!\r\nget=-1\n"
      "mapped=0\n",
      without_line_numbers(out));
  EXPECT_EQ(0, raw()[32 + 1]);
  EXPECT_EQ(0, raw()[20513 + 12]);
}

TEST_F(AliveTest, ProcessesShareTheTableAndClientsNeverClear) {
  ASSERT_EQ(0, kiv_sys_reg_alive_info(77));
  std::string out = probe({"client", "77", "5"});
  EXPECT_NE(std::string::npos, out.find("init=0\nisreg=1\nseq=6\n")) << out;
  EXPECT_EQ(std::string::npos, out.find("data clear")) << out;
  EXPECT_EQ(6, kiv_sys_get_alive_seq(77));
  EXPECT_EQ(1, kiv_sys_isreg_alive_info(77));
}

TEST_F(AliveTest, MasterClearsOncePerProcess) {
  const std::string clear_line = "[KIV:kiv_sys_alive:N]data clear is_master = 1, inited = 0\r\n";
  for (const char* how : {"init", "isreg"}) {
    SCOPED_TRACE(how);
    raw()[0] = 0xAB;  // reserved bytes survive the clear
    raw()[12] = 0xCD;
    g_kiv_alive_info.table->table_size = 0;
    ASSERT_EQ(0, kiv_sys_reg_alive_info(77));
    ASSERT_EQ(0, kiv_sys_update_alive_seq(5000));
    // The first master initialization clears, even in a process that had
    // mapped the table through isreg; the second does not.
    std::string out = probe({"master", "77", how});
    const std::string steps = "init=0\nafter=0\ntable_size=184356\nreg=0\nsecond=0\nkept=1\n";
    if (std::string(how) == "isreg") {
      EXPECT_NE(std::string::npos, out.find("before=1\n" + steps)) << out;
      // Clearing an already mapped table says nothing.
      EXPECT_EQ(std::string::npos, out.find("data clear")) << out;
    } else {
      EXPECT_NE(std::string::npos, out.find(steps)) << out;
      EXPECT_NE(std::string::npos, without_line_numbers(out).find(clear_line)) << out;
      EXPECT_EQ(out.find("data clear"), out.rfind("data clear")) << "cleared more than once";
    }
    EXPECT_EQ(0, kiv_sys_get_alive_seq(5000));
    EXPECT_EQ(1, kiv_sys_isreg_alive_info(77));
    EXPECT_EQ(0xAB, raw()[0]);
    EXPECT_EQ(0xCD, raw()[12]);
    EXPECT_EQ(static_cast<uint32_t>(KIV_ALIVE_SHM_SIZE), g_kiv_alive_info.table->table_size);
  }
}

// Mapping on first use, the master's clear and the entry operations, from
// eight threads of one process at once (a data race fails the sanitized run).
TEST_F(AliveTest, ThreadsMapAndBeatAtOnce) {
  EXPECT_EQ("threads=ok\n", probe({"threads", "3000", "2000"}));
}

TEST_F(AliveTest, UserWhoCannotChmodGetsMinusOneOnceThenTheTable) {
  const struct passwd* nobody = getpwnam("nobody");
  if (nobody == nullptr) GTEST_SKIP() << "no user nobody";
  ASSERT_EQ(0, kiv_sys_reg_alive_info(123));
  std::string out = probe({"isreg", "123"}, static_cast<int>(nobody->pw_uid));
  EXPECT_EQ(
      "[KIV:kiv_sys_alive:N]change mode failed!\r\n"
      "[KIV:kiv_sys_alive:N]fail to init alive_info(ret:-1)!!!\n"
      "isreg=0\ninit=0\nisreg=1\n",
      without_line_numbers(out));
}

TEST_F(AliveTest, MappedHeartbeatMakesNoSystemCall) {
  ASSERT_EQ(0, kiv_sys_reg_alive_info(4242));
  TestProgram p("alive_probe", {"nosyscall", "4242", "1000"});
  std::string out = p.read_all();
  int status = p.wait();
  ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status) << ": a system call was made";
  EXPECT_EQ(0, WEXITSTATUS(status));
  EXPECT_EQ("beats=ok\n", out);
  // 1 on registration, then 1001 beats (one before the filter) in 1..255.
  EXPECT_EQ((1 - 1 + 1001) % 255 + 1, kiv_sys_get_alive_seq(4242));
}

}  // namespace
}  // namespace kiv::test
