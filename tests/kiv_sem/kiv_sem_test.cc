// The control semaphore against the kernel: creation, client undo entries, the switch file.
#include "kiv_sem.h"

#include <signal.h>
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
  // A client that raises the count, then exits or waits to be killed.
  static std::function<int()> client(bool hold) {
    return [hold] {
      const int rc = cmd(KIV_SEM_CMD_INCREASE);
      while (hold) pause();
      return rc;
    };
  }
};

TEST_F(SemTest, BeforeInitNothingWorksAndNothingIsCreated) {
  g_kiv_dbg_level[KIV_DBG_LIB] = 0;
  for (const bool key_file : {false, true}) {
    if (key_file) write_file(KIV_SEM_KEY_FILE, "\n");
    int rc[3];
    const std::string out = capture_stdout([&] {
      rc[0] = cmd(KIV_SEM_CMD_INCREASE);
      rc[1] = cmd(KIV_SEM_CMD_DECREASE);
      rc[2] = kiv_get_semval();
    });
    EXPECT_TRUE(rc[0] == -1 && rc[1] == -1 && rc[2] == -1);
    const std::string why = key_file ? "Get kiv sem failed: No such file or directory."
                                     : "Get sem file key failed: No such file or directory.";
    EXPECT_EQ(3, count_of(without_line_numbers(out), "[KIV:kiv_sem:N]" + why + "[KIV:kiv_sem:N]kiv get semid failed!\n")) << out;
    EXPECT_EQ(-1, g_kiv_sem_id);
    EXPECT_EQ(key_file, exists(KIV_SEM_KEY_FILE));
    EXPECT_EQ(-1, semget(ftok(KIV_SEM_KEY_FILE, 1), 1, 0)) << "only kiv_sem_init creates the set";
  }
}

TEST_F(SemTest, InitCreatesOnceAndKeepsTheCount) {
  ASSERT_EQ(0, kiv_sem_init());
  const int id = kiv_get_sem_id();
  EXPECT_EQ(0754, sem_stat(id).sem_perm.mode & 0777);
  EXPECT_EQ(1u, sem_stat(id).sem_nsems);
  EXPECT_EQ(0, kiv_get_semval());
  ASSERT_EQ(0, cmd(KIV_SEM_CMD_INCREASE));
  g_kiv_dbg_level[KIV_DBG_LIB] = 0;
  int rc = -9;
  EXPECT_EQ("[KIV:kiv_sem:N]System kiv semaphore already inited.",
            without_line_numbers(capture_stdout([&] { rc = kiv_sem_init(); })));
  EXPECT_EQ(0, rc);
  EXPECT_EQ(1, kiv_get_semval());
  EXPECT_EQ(id, kiv_get_sem_id());
}

TEST_F(SemTest, RaiseAndLowerWithoutEverWaiting) {
  ASSERT_EQ(0, kiv_sem_init());
  g_kiv_dbg_level[KIV_DBG_LIB] = 0;
  char raised[96];
  snprintf(raised, sizeof raised, "[KIV:kiv_sem:N]Increase kiv sem_cnt, pid is %d, ppid is %d.\n", getpid(), getppid());
  const struct { unsigned int cmd; int rc, count; std::string log; } rows[] = {
      {KIV_SEM_CMD_INCREASE, 0, 1, raised},
      {KIV_SEM_CMD_DECREASE, 0, 0, "[KIV:kiv_sem:N]Decrease kiv sem_cnt.\n"},
      {KIV_SEM_CMD_DECREASE, -1, 0, "[KIV:kiv_sem:N]Decrease kiv semaphore failed: Resource temporarily unavailable."},
  };
  for (const auto& r : rows) {
    int rc = -9;
    const int64_t t0 = monotonic_ms();
    EXPECT_EQ(r.log, without_line_numbers(capture_stdout([&] { rc = cmd(r.cmd); })));
    EXPECT_LT(monotonic_ms() - t0, 500);
    EXPECT_EQ(r.rc, rc);
    EXPECT_EQ(r.count, kiv_get_semval());
  }
}

TEST_F(SemTest, EndedClientsAreCountedOut) {
  ASSERT_EQ(0, kiv_sem_init());
  ASSERT_EQ(0, cmd(KIV_SEM_CMD_INCREASE));
  EXPECT_TRUE(run_in_child(client(false)).exited(0));
  EXPECT_EQ(1, kiv_get_semval());
  Child a(client(true));
  for (int i = 0; i < 2000 && kiv_get_semval() != 2; ++i) usleep(1000);
  EXPECT_EQ(2, kiv_get_semval());
  kill(a.pid(), SIGKILL);
  EXPECT_TRUE(a.wait().signaled(SIGKILL));
  EXPECT_EQ(1, kiv_get_semval()) << "the kernel undoes a killed client's raise";
}

TEST_F(SemTest, SwitchFileCommandsAndUnknownOnes) {
  g_kiv_dbg_level[KIV_DBG_LIB] = 0;
  const std::string created = "[KIV:kiv_sem:N]Create switch file.\n", deleted = "[KIV:kiv_sem:N]Delete switch file.\n";
  const struct {
    unsigned int cmd;
    const char* before;  // the switch file's text, or null for none
    int rc;
    std::string log;
    const char* after;
  } rows[] = {
      {KIV_SEM_CMD_CREATE_SWITCH, nullptr, 0, created, ""},
      {KIV_SEM_CMD_CREATE_SWITCH, "mark", 0, created, "mark"},
      {KIV_SEM_CMD_DELETE_SWITCH, "mark", 0, deleted, nullptr},
      {KIV_SEM_CMD_DELETE_SWITCH, nullptr, 0, deleted, nullptr},
      {4, nullptr, -2, "", nullptr},
      {static_cast<unsigned int>(-1), "", -2, "", ""},
  };
  for (const auto& r : rows) {
    if (r.before != nullptr) write_file(KIV_SEM_SWITCH_FILE, r.before);
    int rc = -9;
    EXPECT_EQ(r.log, without_line_numbers(capture_stdout([&] { rc = cmd(r.cmd); })));
    EXPECT_EQ(r.rc, rc) << r.cmd;
    EXPECT_EQ(r.after != nullptr, exists(KIV_SEM_SWITCH_FILE)) << r.cmd;
    EXPECT_EQ(r.after != nullptr ? r.after : "", read_file(KIV_SEM_SWITCH_FILE));
    (void)unlink(KIV_SEM_SWITCH_FILE);
  }
  remove_tree("/data");
  EXPECT_EQ("", capture_stdout([] { EXPECT_EQ(-1, cmd(KIV_SEM_CMD_CREATE_SWITCH)); }));
}

}  // namespace
}  // namespace kiv::test
