// Starting, watching and collecting processes by pidfd, with real
// children: a clean detached start, and the exit statuses of children and
// of other processes.
#include "procs.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/child.h"
#include "support/files.h"
#include "support/fixture.h"

namespace kiv::manager {
namespace {

using ProcsTest = kiv::test::SandboxTest;

// The status of a child of ours through its pidfd, once it has ended.
ExitStatus collect(pid_t pid) {
  const int fd = open_pidfd(pid);
  for (int i = 0; i < 5000 && fd >= 0 && !pidfd_ended(fd); ++i) usleep(1000);
  const ExitStatus s = reap_child(fd);
  EXPECT_FALSE(reap_child(fd).known);  // collected once
  close(fd);
  return s;
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
  const ExitStatus s = collect(pid);
  EXPECT_EQ("exit status 7", describe(s));
  EXPECT_EQ("session_leader=1 cwd=/ usr1_blocked=0 term_default=1 args=3\n", kiv::test::read_file("/tmp/probe.out"));
  EXPECT_EQ("exit status 127", describe(collect(spawn_detached({"/nonexistent/prog", "a"}))));
  EXPECT_EQ(-1, spawn_detached({}));
}

// A grandchild whose parent does not reap it: only /proc tells how it
// ended, while it is a zombie of the right start time.
TEST_F(ProcsTest, ForeignExitStatusThroughProc) {
  int p[2];
  ASSERT_EQ(0, pipe2(p, O_CLOEXEC));
  kiv::test::Child middle([&] {
    const pid_t g = fork();
    if (g == 0) pause();
    (void)!write(p[1], &g, sizeof g);
    pause();
    return 0;
  });
  close(p[1]);
  pid_t grandchild = 0;
  ASSERT_EQ(static_cast<ssize_t>(sizeof grandchild), read(p[0], &grandchild, sizeof grandchild));
  close(p[0]);
  const int fd = open_pidfd(grandchild);
  const uint64_t ticks = start_ticks(grandchild);
  EXPECT_FALSE(pidfd_ended(fd));
  ASSERT_EQ(0, pidfd_signal(fd, SIGKILL, false));
  for (int i = 0; i < 5000 && !pidfd_ended(fd); ++i) usleep(1000);
  EXPECT_FALSE(reap_child(fd).known);  // not ours to collect
  EXPECT_EQ("killed by signal 9 (Killed)", describe(foreign_exit_status(-1, grandchild, ticks)));
  EXPECT_FALSE(foreign_exit_status(-1, grandchild, ticks + 1).known);
  close(fd);
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
