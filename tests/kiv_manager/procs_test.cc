// Starting, watching and collecting processes by pidfd, with real children.
#include "procs.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "support/fixture.h"

namespace kiv::manager {
namespace {

using ProcsTest = kiv::test::SandboxTest;

std::string read_file(const std::string& path) {
  std::ifstream in(path);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool kernel_at_least(int major, int minor) {
  struct utsname u;
  int a = 0, b = 0;
  return uname(&u) == 0 && sscanf(u.release, "%d.%d", &a, &b) == 2 && (a > major || (a == major && b >= minor));
}

bool wait_ended(int pidfd, int ms) {
  for (int i = 0; i < ms; ++i) {
    if (pidfd_ended(pidfd)) return true;
    usleep(1000);
  }
  return false;
}

TEST_F(ProcsTest, DetachedChildStartsCleanAndItsStatusIsCollected) {
  // Whatever the daemon blocks or handles must not reach the program.
  sigset_t usr1, old;
  sigemptyset(&usr1);
  sigaddset(&usr1, SIGUSR1);
  sigprocmask(SIG_BLOCK, &usr1, &old);
  // Nor what it ignores (a disposition that exec would keep).
  struct sigaction ign = {}, term;
  ign.sa_handler = SIG_IGN;
  sigaction(SIGTERM, &ign, &term);
  const pid_t pid = spawn_detached({KIV_TEST_BIN_DIR "/mgr_probe", "/tmp/probe.out", "7"});
  sigaction(SIGTERM, &term, nullptr);
  sigprocmask(SIG_SETMASK, &old, nullptr);
  ASSERT_GT(pid, 0);
  const int fd = open_pidfd(pid);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(wait_ended(fd, 5000));
  ExitStatus s = reap_child(fd);
  EXPECT_TRUE(s.known);
  EXPECT_FALSE(s.signaled);
  EXPECT_EQ(7, s.value);
  EXPECT_EQ("exit status 7", describe(s));
  EXPECT_EQ("session_leader=1 cwd=/ usr1_blocked=0 term_default=1 args=3\n", read_file("/tmp/probe.out"));
  EXPECT_FALSE(reap_child(fd).known);  // collected once
  close(fd);
}

TEST_F(ProcsTest, MissingProgramEndsTheChildWith127) {
  const pid_t pid = spawn_detached({"/nonexistent/prog", "a"});
  ASSERT_GT(pid, 0);
  const int fd = open_pidfd(pid);
  ASSERT_TRUE(wait_ended(fd, 5000));
  EXPECT_EQ(127, reap_child(fd).value);
  close(fd);
  EXPECT_EQ(-1, spawn_detached({}));
}

TEST_F(ProcsTest, SignalThroughPidfdAndForeignExitStatus) {
  // A grandchild whose parent does not reap it: this process is not its
  // parent, so only /proc can tell how it ended, while it is a zombie.
  int p[2];
  ASSERT_EQ(0, pipe2(p, O_CLOEXEC));
  const pid_t middle = fork();
  if (middle == 0) {
    const pid_t g = fork();
    if (g == 0) {
      pause();
      _exit(0);
    }
    (void)!write(p[1], &g, sizeof g);
    pause();
    _exit(0);
  }
  close(p[1]);
  pid_t grandchild = 0;
  ASSERT_EQ(static_cast<ssize_t>(sizeof grandchild), read(p[0], &grandchild, sizeof grandchild));
  close(p[0]);
  const int fd = open_pidfd(grandchild);
  ASSERT_GE(fd, 0);
  const uint64_t ticks = start_ticks(grandchild);
  EXPECT_GT(ticks, 0u);
  EXPECT_FALSE(pidfd_ended(fd));
  ASSERT_EQ(0, pidfd_signal(fd, SIGKILL, false));
  ASSERT_TRUE(wait_ended(fd, 5000));
  EXPECT_FALSE(reap_child(fd).known);  // not ours to collect
  // Still a zombie: /proc tells, for the right start time only.
  ExitStatus s = foreign_exit_status(-1, grandchild, ticks);
  EXPECT_TRUE(s.known);
  EXPECT_TRUE(s.signaled);
  EXPECT_EQ(SIGKILL, s.value);
  EXPECT_FALSE(foreign_exit_status(-1, grandchild, ticks + 1).known);
  // Reaped by its parent (which ends and passes it to the sandbox's init):
  // kernels that keep the status with the pidfd still tell.
  kill(middle, SIGKILL);
  waitpid(middle, nullptr, 0);
  for (int i = 0; i < 500 && access(("/proc/" + std::to_string(grandchild)).c_str(), F_OK) == 0; ++i) usleep(1000);
  s = foreign_exit_status(fd, grandchild, ticks);
  if (kernel_at_least(6, 15)) {
    EXPECT_TRUE(s.known);
    EXPECT_TRUE(s.signaled);
    EXPECT_EQ(SIGKILL, s.value);
  }
  close(fd);
  EXPECT_EQ(-1, open_pidfd(0));
}

TEST(CommandTest, SplitsAtBlanksAndTabs) {
  EXPECT_EQ((std::vector<std::string>{"prog", "arg"}), split_command("  prog\targ  "));
  EXPECT_TRUE(split_command(" \t ").empty());
  std::string many;
  for (int i = 0; i < 100; ++i) many += "w ";
  EXPECT_EQ(63u, split_command(many).size());
  EXPECT_EQ("/etc/cmdmap/foo.sh", host_script_path("/usr/bin/foo"));
  EXPECT_EQ("/etc/cmdmap/foo", host_script_path("foo"));
}

}  // namespace
}  // namespace kiv::manager
