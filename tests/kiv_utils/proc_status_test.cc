// The /proc readers: owning process of a thread, task name, liveness.
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "kiv_utils.h"
#include "support/fixture.h"
#include "support/child.h"

namespace kiv::test {
namespace {

using ProcStatusTest = SandboxTest;

// A child that names itself `name` and then either waits (alive) or exits
// at once and stays unreaped (zombie). Reaped by the caller.
pid_t named_child(const char* name, bool zombie) {
  int p[2];
  if (pipe(p) != 0) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    prctl(PR_SET_NAME, name);
    if (write(p[1], "r", 1) != 1) _exit(1);
    if (zombie) _exit(0);
    for (;;) pause();
  }
  close(p[1]);
  char c;
  (void)!read(p[0], &c, 1);
  close(p[0]);
  if (zombie) {
    // Wait until the kernel shows it as a zombie.
    siginfo_t si;
    waitid(P_PID, static_cast<id_t>(pid), &si, WEXITED | WNOWAIT);
  }
  return pid;
}

void end_child(pid_t pid) {
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

TEST_F(ProcStatusTest, ThreadIdGivesOwningProcess) {
  std::atomic<int> tid{0};
  std::atomic<bool> done{false};
  std::thread t([&] {
    tid = static_cast<int>(syscall(SYS_gettid));
    while (!done) usleep(1000);
  });
  while (tid == 0) usleep(1000);
  EXPECT_NE(getpid(), tid.load());
  EXPECT_EQ(getpid(), kiv_get_ppid_form_pid(tid));
  EXPECT_EQ(getpid(), kiv_get_ppid_form_pid(getpid()));
  done = true;
  t.join();
  EXPECT_EQ(-1, kiv_get_ppid_form_pid(tid));  // gone
  EXPECT_EQ(-1, kiv_get_ppid_form_pid(-5));
}

TEST_F(ProcStatusTest, TaskName) {
  pid_t pid = named_child("nm tab\there", false);
  char buf[64] = "junk";
  EXPECT_EQ(0, kiv_get_pid_name(pid, buf, sizeof buf));
  EXPECT_STREQ("nm tab\there", buf);
  EXPECT_EQ(0, kiv_get_pid_name(pid, buf, 4));
  EXPECT_STREQ("nm ", buf);
  EXPECT_EQ(0, kiv_get_pid_name(pid, buf, 1));
  EXPECT_STREQ("", buf);
  EXPECT_EQ(-1, kiv_get_pid_name(pid, buf, 0));
  EXPECT_EQ(-1, kiv_get_pid_name(pid, nullptr, 8));
  end_child(pid);
  strcpy(buf, "kept");
  EXPECT_EQ(-1, kiv_get_pid_name(pid, buf, sizeof buf));
  EXPECT_STREQ("kept", buf);
}

TEST_F(ProcStatusTest, LifeOfRunningZombieAndGoneProcesses) {
  EXPECT_EQ(0, process_life(getpid()));

  // A name holding ") Z" must not pass for a zombie state, nor ") S" hide one.
  pid_t alive = named_child("a) Z (b", false);
  EXPECT_EQ(0, process_life(alive));
  end_child(alive);

  pid_t zombie = named_child("a) S (b", true);
  const int64_t start = monotonic_ms();
  EXPECT_EQ(-1, process_life(zombie));
  EXPECT_GE(monotonic_ms() - start, 29);  // three looks, 10 ms apart
  EXPECT_LT(monotonic_ms() - start, 500);
  waitpid(zombie, nullptr, 0);
  EXPECT_EQ(-1, process_life(zombie));  // reaped: no /proc entry at all
}

TEST_F(ProcStatusTest, MonotonicTime) {
  timespec before;
  clock_gettime(CLOCK_MONOTONIC, &before);
  const int64_t secs = kiv_get_time();
  struct timeval tv = {-1, -1};
  EXPECT_EQ(&tv, kiv_get_timeval(&tv));
  timespec after;
  clock_gettime(CLOCK_MONOTONIC, &after);
  EXPECT_GE(secs, before.tv_sec);
  EXPECT_LE(secs, after.tv_sec);
  const int64_t us = tv.tv_sec * 1000000LL + tv.tv_usec;
  EXPECT_GE(us, before.tv_sec * 1000000LL + before.tv_nsec / 1000);
  EXPECT_LE(us, after.tv_sec * 1000000LL + after.tv_nsec / 1000);
  EXPECT_GE(tv.tv_usec, 0);
  EXPECT_LT(tv.tv_usec, 1000000);
  EXPECT_EQ(nullptr, kiv_get_timeval(nullptr));
}

}  // namespace
}  // namespace kiv::test
