// The control semaphore against the kernel: creation, client undo entries, the switch file.
#include "kiv_sem.h"

#include <sys/sem.h>

#include "support/fixture.h"

namespace kiv::test {
namespace {

class SemTest : public SandboxTest {
 protected:
  void SetUpSandboxed() override {
    g_kiv_sem_id = -1;  // the id cached by an earlier test names a set it removed
  }
  // Semaphore sets outlive processes.
  void TearDownSandboxed() override { semctl(semget(ftok(KIV_SEM_KEY_FILE, 1), 1, 0), 0, IPC_RMID); }
  static int cmd(unsigned int c) { return kiv_client_control_thread_notify(c); }
};

TEST_F(SemTest, OnlyInitCreatesTheSetWhichStartsAtZeroOnceAndCountsClientsInAndOut) {
  for (const bool key_file : {false, true}) {  // before it nothing works
    if (key_file) write_file(KIV_SEM_KEY_FILE, "\n");
    EXPECT_EQ(-3, cmd(KIV_SEM_CMD_INCREASE) + cmd(KIV_SEM_CMD_DECREASE) + kiv_get_semval());
    EXPECT_EQ(key_file, exists(KIV_SEM_KEY_FILE));
    EXPECT_EQ(-1, semget(ftok(KIV_SEM_KEY_FILE, 1), 1, 0));
  }
  ASSERT_EQ(0, kiv_sem_init());
  const int id = kiv_get_sem_id();
  EXPECT_EQ(0754, sem_stat(id).sem_perm.mode & 0777);
  EXPECT_EQ(0, kiv_get_semval());
  ASSERT_EQ(0, cmd(KIV_SEM_CMD_INCREASE));
  ASSERT_EQ(0, kiv_sem_init());
  EXPECT_EQ(id, kiv_get_sem_id());
  EXPECT_EQ(1, kiv_get_semval()) << "a second init keeps the count";
  EXPECT_TRUE(run_in_child([] { return cmd(KIV_SEM_CMD_INCREASE); }).exited(0));
  EXPECT_EQ(1, kiv_get_semval()) << "the kernel undoes an ended client's raise";
  // Lowering never waits: at 0 it fails at once.
  for (const int rc : {0, -1}) {
    const int64_t t0 = monotonic_ms();
    EXPECT_EQ(rc, cmd(KIV_SEM_CMD_DECREASE));
    EXPECT_LT(monotonic_ms() - t0, 500);
    EXPECT_EQ(0, kiv_get_semval());
  }
}

TEST_F(SemTest, SwitchFileCommandsAndUnknownOnes) {
  const struct {
    unsigned int cmd;
    const char* before;  // the switch file's text, or null for none
    int rc;
    const char* after;
  } rows[] = {
      {KIV_SEM_CMD_CREATE_SWITCH, nullptr, 0, ""},     {KIV_SEM_CMD_CREATE_SWITCH, "mark", 0, "mark"},
      {KIV_SEM_CMD_DELETE_SWITCH, "mark", 0, nullptr}, {KIV_SEM_CMD_DELETE_SWITCH, nullptr, 0, nullptr},
      {4, nullptr, -2, nullptr},                       {static_cast<unsigned int>(-1), "", -2, ""},
  };
  for (const auto& r : rows) {
    if (r.before != nullptr) write_file(KIV_SEM_SWITCH_FILE, r.before);
    EXPECT_EQ(r.rc, cmd(r.cmd)) << r.cmd;
    EXPECT_EQ(r.after != nullptr, exists(KIV_SEM_SWITCH_FILE)) << r.cmd;
    EXPECT_EQ(r.after != nullptr ? r.after : "", read_file(KIV_SEM_SWITCH_FILE));
    (void)unlink(KIV_SEM_SWITCH_FILE);
  }
  remove_tree("/data");
  EXPECT_EQ(-1, cmd(KIV_SEM_CMD_CREATE_SWITCH));
}

}  // namespace
}  // namespace kiv::test
