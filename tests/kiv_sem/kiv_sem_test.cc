// The control semaphore against the kernel: creation, the undo entries of
// real client processes, the switch file and the commands' results.
#include "kiv_sem.h"

#include <signal.h>
#include <stdio.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "kiv_dbg.h"
#include "kiv_sem/strerror_count.h"
#include "support/capture.h"
#include "support/child.h"
#include "support/files.h"
#include "support/fixture.h"
#include "support/sysv.h"
#include "support/log_text.h"
#include "support/program.h"

namespace kiv::test {
namespace {

class SemTest : public SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    if (IsSkipped()) return;
    // The id cached by an earlier test names a set that test removed.
    g_kiv_sem_id = -1;
  }
  void TearDown() override {
    // Sets outlive processes: remove every set of this ipc namespace.
    for (int id : sem_sets()) semctl(id, 0, IPC_RMID);
    g_kiv_sem_id = -1;
    SandboxTest::TearDown();
  }

  // Ids of the semaphore sets that exist in this ipc namespace.
  static std::vector<int> sem_sets() {
    std::vector<int> ids;
    std::ifstream in("/proc/sysvipc/sem");
    std::string line;
    std::getline(in, line);  // header
    while (std::getline(in, line)) {
      long key = 0;
      int id = -1;
      if (sscanf(line.c_str(), "%ld %d", &key, &id) == 2) ids.push_back(id);
    }
    return ids;
  }

  static std::string run(unsigned int cmd, int* rc) {
    return capture_stdout([&] { *rc = kiv_client_control_thread_notify(cmd); });
  }
};


TEST_F(SemTest, BeforeInitNothingWorksAndNothingIsCreated) {
  g_kiv_dbg_level[KIV_DBG_LIB] = 0;
  int rc = 0;
  std::string out = run(KIV_SEM_CMD_INCREASE, &rc);
  EXPECT_EQ(-1, rc);
  EXPECT_EQ(
      "[KIV:kiv_sem:N]Get sem file key failed: No such file or directory."
      "[KIV:kiv_sem:N]kiv get semid failed!\n",
      without_line_numbers(out));
  EXPECT_EQ(-1, kiv_client_control_thread_notify(KIV_SEM_CMD_DECREASE));
  EXPECT_EQ(-1, kiv_get_semval());
  EXPECT_EQ(-1, kiv_get_sem_id());

  // With the key file present but no set, the lookup still only attaches.
  std::ofstream(KIV_SEM_KEY_FILE).put('\n');
  out = capture_stdout([] { EXPECT_EQ(-1, kiv_get_semval()); });
  EXPECT_EQ(
      "[KIV:kiv_sem:N]Get kiv sem failed: No such file or directory."
      "[KIV:kiv_sem:N]kiv get semid failed!\n",
      without_line_numbers(out));
  EXPECT_EQ(-1, kiv_client_control_thread_notify(KIV_SEM_CMD_INCREASE));
  EXPECT_TRUE(sem_sets().empty());
  EXPECT_EQ(-1, g_kiv_sem_id);
  unlink(KIV_SEM_KEY_FILE);
  EXPECT_EQ(-1, kiv_get_semval());
  EXPECT_FALSE(exists(KIV_SEM_KEY_FILE));
}

TEST_F(SemTest, SuppressedMessagesEvaluateNoArgument) {
  const int before = strerror_calls();
  std::string out = capture_stdout([] { EXPECT_EQ(-1, kiv_get_semval()); });
  EXPECT_EQ("", out);
  EXPECT_EQ(before, strerror_calls()) << "strerror ran for a message that was not printed";

  g_kiv_dbg_level[KIV_DBG_LIB] = 0;
  out = capture_stdout([] { EXPECT_EQ(-1, kiv_get_semval()); });
  EXPECT_NE(std::string::npos, out.find("Get sem file key failed"));
  EXPECT_EQ(before + 1, strerror_calls());
}

TEST_F(SemTest, InitCreatesOnceAndKeepsTheCount) {
  ASSERT_EQ(0, kiv_sem_init());
  struct stat st;
  ASSERT_EQ(0, stat(KIV_SEM_KEY_FILE, &st));
  ASSERT_EQ(1u, sem_sets().size());
  const int id = kiv_get_sem_id();
  EXPECT_EQ(sem_sets()[0], id);
  const struct semid_ds ds = sem_stat(id);
  EXPECT_EQ(0754, ds.sem_perm.mode & 0777);
  EXPECT_EQ(1u, ds.sem_nsems);
  EXPECT_EQ(0, kiv_get_semval());

  ASSERT_EQ(0, kiv_client_control_thread_notify(KIV_SEM_CMD_INCREASE));
  g_kiv_dbg_level[KIV_DBG_LIB] = 0;
  int rc = -9;
  std::string out = capture_stdout([&] { rc = kiv_sem_init(); });
  EXPECT_EQ(0, rc);
  EXPECT_EQ("[KIV:kiv_sem:N]System kiv semaphore already inited.", without_line_numbers(out));
  EXPECT_EQ(1, kiv_get_semval());
  EXPECT_EQ(1u, sem_sets().size());
  ASSERT_EQ(0, kiv_client_control_thread_notify(KIV_SEM_CMD_DECREASE));
}

TEST_F(SemTest, RaiseAndLowerWithoutEverWaiting) {
  ASSERT_EQ(0, kiv_sem_init());
  g_kiv_dbg_level[KIV_DBG_LIB] = 0;
  int rc = -9;
  std::string out = run(KIV_SEM_CMD_INCREASE, &rc);
  EXPECT_EQ(0, rc);
  char want[96];
  snprintf(want, sizeof want, "[KIV:kiv_sem:N]Increase kiv sem_cnt, pid is %d, ppid is %d.\n", getpid(),
           getppid());
  EXPECT_EQ(want, without_line_numbers(out));
  EXPECT_EQ(1, kiv_get_semval());
  out = run(KIV_SEM_CMD_DECREASE, &rc);
  EXPECT_EQ(0, rc);
  EXPECT_EQ("[KIV:kiv_sem:N]Decrease kiv sem_cnt.\n", without_line_numbers(out));
  EXPECT_EQ(0, kiv_get_semval());

  const int64_t t0 = monotonic_ms();
  out = run(KIV_SEM_CMD_DECREASE, &rc);
  EXPECT_EQ(-1, rc);
  EXPECT_LT(monotonic_ms() - t0, 500) << "lowering a count of 0 must not wait";
  EXPECT_EQ("[KIV:kiv_sem:N]Decrease kiv semaphore failed: Resource temporarily unavailable.",
            without_line_numbers(out));
  EXPECT_EQ(0, kiv_get_semval());
}

TEST_F(SemTest, DeadClientsCountIsUndone) {
  ASSERT_EQ(0, kiv_sem_init());
  ASSERT_EQ(0, kiv_client_control_thread_notify(KIV_SEM_CMD_INCREASE));  // this process: 1
  {
    TestProgram client("sem_client", {"exit"});
    EXPECT_EQ("raised 0", client.read_line().value_or("(nothing)"));
    ASSERT_EQ(0, exit_code(client.wait()));
  }
  EXPECT_EQ(1, kiv_get_semval());

  TestProgram a("sem_client", {"hold"});
  TestProgram b("sem_client", {"hold"});
  EXPECT_EQ("raised 0", a.read_line().value_or("(nothing)"));
  EXPECT_EQ("raised 0", b.read_line().value_or("(nothing)"));
  EXPECT_EQ(3, kiv_get_semval());
  a.kill(SIGKILL);
  ASSERT_TRUE(WIFSIGNALED(a.wait()));
  EXPECT_EQ(2, kiv_get_semval());
  b.kill(SIGTERM);
  ASSERT_TRUE(WIFSIGNALED(b.wait()));
  EXPECT_EQ(1, kiv_get_semval());
  ASSERT_EQ(0, kiv_client_control_thread_notify(KIV_SEM_CMD_DECREASE));
  EXPECT_EQ(0, kiv_get_semval());
}

TEST_F(SemTest, SwitchFileCommands) {
  g_kiv_dbg_level[KIV_DBG_LIB] = 0;
  int rc = -9;
  const std::string created = "[KIV:kiv_sem:N]Create switch file.\n";
  const std::string deleted = "[KIV:kiv_sem:N]Delete switch file.\n";
  EXPECT_EQ(created, without_line_numbers(run(KIV_SEM_CMD_CREATE_SWITCH, &rc)));
  EXPECT_EQ(0, rc);
  std::ofstream(KIV_SEM_SWITCH_FILE, std::ios::app) << "mark";
  EXPECT_EQ(created, without_line_numbers(run(KIV_SEM_CMD_CREATE_SWITCH, &rc)));
  EXPECT_EQ(0, rc);
  struct stat st;
  ASSERT_EQ(0, stat(KIV_SEM_SWITCH_FILE, &st));
  EXPECT_EQ(4, st.st_size) << "an existing switch file is left as it is";

  EXPECT_EQ(deleted, without_line_numbers(run(KIV_SEM_CMD_DELETE_SWITCH, &rc)));
  EXPECT_EQ(0, rc);
  EXPECT_FALSE(exists(KIV_SEM_SWITCH_FILE));
  EXPECT_EQ(deleted, without_line_numbers(run(KIV_SEM_CMD_DELETE_SWITCH, &rc)));
  EXPECT_EQ(0, rc);

  // A new file is empty; without its directory it cannot be made.
  EXPECT_EQ(0, kiv_client_control_thread_notify(KIV_SEM_CMD_CREATE_SWITCH));
  ASSERT_EQ(0, stat(KIV_SEM_SWITCH_FILE, &st));
  EXPECT_EQ(0, st.st_size);
  std::filesystem::remove_all("/data");
  EXPECT_EQ("", run(KIV_SEM_CMD_CREATE_SWITCH, &rc));
  EXPECT_EQ(-1, rc);
}

TEST_F(SemTest, UnknownCommandsAreRefusedSilently) {
  ASSERT_EQ(0, kiv_sem_init());
  g_kiv_dbg_level[KIV_DBG_LIB] = 0;
  int rc = 0;
  EXPECT_EQ("", run(4, &rc));
  EXPECT_EQ(-2, rc);
  EXPECT_EQ("", run(static_cast<unsigned int>(-1), &rc));
  EXPECT_EQ(-2, rc);
  EXPECT_EQ(0, kiv_get_semval());
  EXPECT_FALSE(exists(KIV_SEM_SWITCH_FILE));
}

}  // namespace
}  // namespace kiv::test
