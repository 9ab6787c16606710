// kiv_os: the hex dump, record memory and mutex semaphores between processes.
#include "kiv_os.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <sys/sem.h>

#include "support/fixture.h"

namespace kiv::test {
namespace {

using OsTest = SandboxTest;

TEST_F(OsTest, DumpPrintsTheTableRowByRow) {
  const std::string rule = "---------+-------------------------------------------------+-----------------\n";
  const std::string head = " Offset  |  0  1  2  3  4  5  6  7  8  9  A  B  C  D  E  F | 0123456789ABCDEF\n" + rule;
  const struct { std::vector<unsigned char> bytes; std::string rows; } rows[] = {
      {{'H', 'e', 'l', 'l', 'o', ' ', 0x00, 0x09, 0x7F, 0x80, 0xFF, '~', '!', 0x41, '0', '\n'},
       "00000000 | 48 65 6C 6C 6F 20 00 09 7F 80 FF 7E 21 41 30 0A | Hello......~!A0.\n"},
      {{'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J', 'K', 'L', 'M', 'N', 'O', 'P', 'Q'},
       "00000000 | 41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F 50 | ABCDEFGHIJKLMNOP\n"
       "00000010 | 51" + std::string(15 * 3, ' ') + " | Q\n"},
  };
  for (const auto& r : rows) {
    const auto len = static_cast<uint32_t>(r.bytes.size());
    char title[96];
    snprintf(title, sizeof title, "dump req msg(addr:%p, len:%u):\n", static_cast<const void*>(r.bytes.data()), len);
    EXPECT_EQ(title + head + r.rows + rule, capture_stdout([&] { (void)kiv_os_dump_msg("req", r.bytes.data(), len); }));
  }
  const char b[] = "a";
  const struct { const char* prefix; const void* msg; uint32_t len; } bad[] = {{nullptr, b, 1}, {"p", b, 0}, {"p", nullptr, 4}};
  for (const auto& c : bad) {
    char want[96];
    snprintf(want, sizeof want, "argument err(prx:%p, msg:%p, len%u)!\n", static_cast<const void*>(c.prefix), c.msg, c.len);
    EXPECT_EQ(want, capture_stdout([&] { (void)kiv_os_dump_msg(c.prefix, c.msg, c.len); }));
  }
}

TEST_F(OsTest, RecordIsWholeZeroedPagesSharedByName) {
  const uint32_t page = static_cast<uint32_t>(sysconf(_SC_PAGESIZE));
  for (uint32_t size : {1u, page, page + 1}) {
    kiv_os_record rec = {};
    int err = -1;
    ASSERT_EQ(0, kiv_os_init_record_memory("/kiv-rec", size, &rec, &err));
    EXPECT_EQ(0, err);
    EXPECT_STREQ("/kiv-rec", rec.path);
    EXPECT_EQ((size + page - 1) / page * page, rec.size) << size;
    EXPECT_EQ(std::string(rec.size, '\0'), std::string(static_cast<char*>(rec.addr), rec.size));
    ChildResult r = run_in_child([] {
      kiv_os_record mine = {};
      int e = 0;
      return kiv_os_init_record_memory("/kiv-rec", 1, &mine, &e) || kiv_os_write_record_memory(&mine, "child", 6, &e);
    });
    ASSERT_TRUE(r.exited(0));
    char got[6] = {};
    ASSERT_EQ(0, kiv_os_read_record_memory(&rec, got, sizeof got));
    EXPECT_STREQ("child", got);
    ASSERT_EQ(0, kiv_os_close_record_memory(&rec, &err));
    EXPECT_FALSE(exists("/dev/shm/kiv-rec"));
  }
}

TEST_F(OsTest, RecordRefusesCopiesBeyondItsSizeAndSizesBeyond32Bits) {
  kiv_os_record rec = {}, other = {};
  int err = 0;
  char buf[8192] = {};
  ASSERT_EQ(0, kiv_os_init_record_memory("/kiv-rec", 10, &rec, &err));
  EXPECT_EQ(-1, kiv_os_write_record_memory(&rec, buf, rec.size + 1, &err));
  EXPECT_EQ(-1, kiv_os_read_record_memory(&rec, buf, rec.size + 1));
  EXPECT_EQ(0, kiv_os_write_record_memory(&rec, buf, rec.size, &err));
  EXPECT_EQ(0, kiv_os_read_record_memory(&rec, buf, rec.size));
  ASSERT_EQ(0, kiv_os_close_record_memory(&rec, &err));
  EXPECT_EQ(-4, kiv_os_init_record_memory("/kiv/rec", 1, &other, &err));  // no valid object name
  // Whole pages of this size do not fit 32 bits: the name is removed again.
  EXPECT_EQ(-5, kiv_os_init_record_memory("/kiv-huge", 0xFFFFFFFFu, &other, &err));
  EXPECT_EQ(EOVERFLOW, err);
  EXPECT_FALSE(exists("/dev/shm/kiv-huge"));
}

class MutexSemTest : public SandboxTest {
 protected:
  void SetUpSandboxed() override { write_file(kKey, "k"); }
  // Semaphore sets outlive processes.
  void TearDownSandboxed() override { semctl(semget(ftok(kKey, 1), 1, 0), 0, IPC_RMID); }
  // A child that takes the lock, then holds it for hold_ms (or until killed). SIGUSR1 interrupts its
  // wait: semop() is never restarted after a handler.
  static std::function<int()> holder(int hold_ms) {
    return [hold_ms] {
      struct sigaction sa = {};
      sa.sa_handler = [](int) {};
      int id = -1;
      if (sigaction(SIGUSR1, &sa, nullptr) != 0 || kiv_os_init_mutex_sem(kKey, &id) != 0 ||
          kiv_os_lock_mutex_sem(id) != 0)
        return 1;
      usleep(hold_ms * 1000);
      return kiv_os_unlock_mutex_sem(id) == 0 ? 0 : 2;
    };
  }
  static int wait_for(int id, int what, int value) {  // what: GETVAL or GETNCNT
    for (int i = 0; i < 2000 && semctl(id, 0, what) != value; ++i) usleep(1000);
    return semctl(id, 0, what);
  }
  static constexpr char kKey[] = "/data/mutex_key";
};

TEST_F(MutexSemTest, CreatedFreeAttachedUntouchedAndReleasedWithItsHolderToAnInterruptedWaiter) {
  int id = -1, again = -1;
  ASSERT_EQ(0, kiv_os_init_mutex_sem(kKey, &id));
  EXPECT_EQ(1, semctl(id, 0, GETVAL));
  EXPECT_EQ(0777, sem_stat(id).sem_perm.mode & 0777);
  Child first(holder(60000));
  ASSERT_EQ(0, wait_for(id, GETVAL, 0));
  ASSERT_EQ(0, kiv_os_init_mutex_sem(kKey, &again));
  EXPECT_EQ(id, again);
  EXPECT_EQ(0, semctl(id, 0, GETVAL)) << "a second init must not free a held lock";
  Child second(holder(0));
  EXPECT_EQ(1, wait_for(id, GETNCNT, 1)) << "the second waits";
  kill(second.pid(), SIGUSR1);
  EXPECT_EQ(0, wait_for(id, GETNCNT, 0)) << "the signal ends its wait for a while";
  kill(first.pid(), SIGKILL);
  EXPECT_TRUE(second.wait(10).exited(0)) << "the kernel undoes a killed holder's lock; the second waits again";
  EXPECT_EQ(1, semctl(id, 0, GETVAL));
  EXPECT_EQ(-3, kiv_os_init_mutex_sem("/data/no-such-key", &again));
}

}  // namespace
}  // namespace kiv::test
