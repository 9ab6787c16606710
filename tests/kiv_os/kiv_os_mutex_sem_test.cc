// Mutex semaphores between real processes: creation and attachment, the
// kernel's release of a dead holder's lock, and a lock that a signal
// interrupts.
#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <unistd.h>

#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "kiv_os.h"
#include "support/child.h"
#include "support/fixture.h"
#include "support/sysv.h"
#include "support/program.h"

namespace kiv::test {
namespace {

constexpr char kKeyFile[] = "/data/kiv_os_mutex_key";

class MutexSemTest : public SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    if (IsSkipped()) return;
    std::ofstream(kKeyFile).put('k');
  }
  void TearDown() override {
    // The set would outlive the test in this ipc namespace.
    key_t key = ftok(kKeyFile, 1);
    int id = key == -1 ? -1 : semget(key, 1, 0);
    if (id != -1) semctl(id, 0, IPC_RMID);
    SandboxTest::TearDown();
  }
  static int value(int id) { return semctl(id, 0, GETVAL); }
};

TEST_F(MutexSemTest, CreatesFreeAttachesWithoutReset) {
  int id = -1;
  ASSERT_EQ(0, kiv_os_init_mutex_sem(kKeyFile, &id));
  EXPECT_EQ(1, value(id));
  const struct semid_ds ds = sem_stat(id);
  EXPECT_EQ(0777, ds.sem_perm.mode & 0777);

  ASSERT_EQ(0, kiv_os_lock_mutex_sem(id));
  EXPECT_EQ(0, value(id));
  int again = -1;
  ASSERT_EQ(0, kiv_os_init_mutex_sem(kKeyFile, &again));
  EXPECT_EQ(id, again);
  EXPECT_EQ(0, value(id)) << "a second init must not free a held lock";
  ASSERT_EQ(0, kiv_os_unlock_mutex_sem(id));
  EXPECT_EQ(1, value(id));
}

TEST_F(MutexSemTest, RefusedArgumentsAndFailures) {
  int id = 123;
  EXPECT_EQ(-2, kiv_os_init_mutex_sem(nullptr, &id));
  EXPECT_EQ(-2, kiv_os_init_mutex_sem(kKeyFile, nullptr));
  EXPECT_EQ(-3, kiv_os_init_mutex_sem("/data/no-such-key-file", &id));
  EXPECT_EQ(-7, kiv_os_lock_mutex_sem(-1));
  EXPECT_EQ(-8, kiv_os_unlock_mutex_sem(-1));
}

TEST_F(MutexSemTest, KilledHolderLetsTheNextWaiterIn) {
  TestProgram holder("os_mutex_holder", {kKeyFile, "-1"});
  ASSERT_EQ("locked", holder.read_line().value_or("(nothing)"));
  TestProgram waiter("os_mutex_holder", {kKeyFile, "-1"});
  EXPECT_FALSE(waiter.read_line(300)) << "the waiter got in while the lock was held";
  holder.kill(SIGKILL);
  int status = holder.wait();
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ("locked", waiter.read_line().value_or("(nothing)"));
}

volatile sig_atomic_t g_interrupts = 0;
void on_usr1(int) { g_interrupts = g_interrupts + 1; }

TEST_F(MutexSemTest, LockInterruptedBySignalResumesAfterAPause) {
  TestProgram holder("os_mutex_holder", {kKeyFile, "300"});
  ASSERT_EQ("locked", holder.read_line().value_or("(nothing)"));
  int id = -1;
  ASSERT_EQ(0, kiv_os_init_mutex_sem(kKeyFile, &id));

  struct sigaction sa = {}, old = {};
  sa.sa_handler = on_usr1;  // no SA_RESTART, and semop ignores it anyway
  sigemptyset(&sa.sa_mask);
  ASSERT_EQ(0, sigaction(SIGUSR1, &sa, &old));
  g_interrupts = 0;
  const pthread_t self = pthread_self();
  std::thread poke([self] {
    usleep(100 * 1000);
    pthread_kill(self, SIGUSR1);
  });
  const int64_t t0 = monotonic_ms();
  const int rc = kiv_os_lock_mutex_sem(id);
  const int64_t waited = monotonic_ms() - t0;
  poke.join();
  sigaction(SIGUSR1, &old, nullptr);

  EXPECT_EQ(0, rc);
  EXPECT_EQ(1, g_interrupts);
  // Interrupted at 0.1 s, released at 0.3 s, taken after the 1 s pause.
  EXPECT_GE(waited, 1000);
  EXPECT_LT(waited, 3000);
  EXPECT_EQ("unlocked", holder.read_line().value_or("(nothing)"));
  EXPECT_EQ(0, kiv_os_unlock_mutex_sem(id));
}

}  // namespace
}  // namespace kiv::test
