// kiv_utils: sleeps that survive signals and /proc readers against real processes.
#include "kiv_utils.h"

#include <fcntl.h>
#include <limits.h>
#include <linux/capability.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <atomic>
#include <thread>

#include "support/fixture.h"

namespace kiv::test {
namespace {

using UtilsTest = SandboxTest;
using BaseSlow = SandboxTest;

std::atomic<int> g_signals{0};

TEST_F(BaseSlow, InterruptedSleepsLastTheirFullLength) {
  struct sigaction sa = {}, old = {};
  // No SA_RESTART: select() fails with EINTR. Three signals per sleep, 200 ms apart.
  sa.sa_handler = [](int) { (void)(++g_signals % 3 == 0 && ualarm(0, 0)); };
  ASSERT_EQ(0, sigaction(SIGALRM, &sa, &old));
  const struct { int (*sleep)(int); int length, ms; } rows[] = {{safe_sleep, 1, 1000}, {safe_usleep, 700 * 1000, 700}};
  for (const auto& r : rows) {
    ualarm(200 * 1000, 200 * 1000);  // a sleep begun anew each time would last 600 ms longer
    const int64_t start = monotonic_ms();
    EXPECT_EQ(0, r.sleep(r.length));
    EXPECT_GE(monotonic_ms() - start, r.ms - 10);
    EXPECT_LT(monotonic_ms() - start, r.ms + 400);
  }
  // TSan runs a handler only at the next intercepted call, which select() is not: signals merge.
  EXPECT_EQ(kThreadSanitized ? g_signals.load() : 6, g_signals.load());
  sigaction(SIGALRM, &old, nullptr);
}

// utils_sleeper started with exactly argv, alive past exec.
struct Sleeper : TestProgram {
  explicit Sleeper(const std::vector<std::string>& argv)
      : TestProgram("utils_sleeper", {argv.begin() + 1, argv.end()}, {argv[0], -1, {}, true}) {}
};

std::pair<int, std::string> cmdline(pid_t pid, size_t size) {
  std::string buf(size + 8, '#');
  const int r = kiv_get_cmdline(pid, buf.data(), size);
  EXPECT_EQ('#', buf[size]) << "wrote past the buffer";
  return {r, buf.c_str()};
}

TEST_F(UtilsTest, CmdlineIsTheExecutablePathThenTheArgumentsCutToFit) {
  char real[PATH_MAX];
  ASSERT_NE(nullptr, realpath(KIV_TEST_BIN_DIR "/utils_sleeper", real));
  const std::string e = real;
  const struct { std::vector<std::string> argv; std::string text; } rows[] = {
      {{"just-a-name"}, e},  // the separator is not left behind
      {{"x", "a", "", "b"}, e + " a  b"},
      {{"x", "a", "", ""}, e + " a"},
      {{"x", "a", "one\ntwo", "b"}, e + " a one"},
  };
  for (const auto& r : rows) EXPECT_EQ(std::pair(0, r.text), cmdline(Sleeper(r.argv).pid(), 512));
  EXPECT_EQ(std::pair(-1, std::string()), cmdline(ended_pid(), 64));

  const size_t len = e.size();
  Sleeper p({"x", "ab"});
  const struct { size_t size; int ret; std::string text; } small[] = {
      {len + 2, 0, e},  // too small for a separator and one character: the path alone
      {len, 0, e.substr(0, len - 1)},
      {len + 3, -2, e + " a"},   // filling the buffer is -2
      {len + 5, -2, e + " ab"},  // the NUL after the last argument takes a place, as a space dropped at the end
      {len + 6, 0, e + " ab"},
  };
  for (const auto& r : small) EXPECT_EQ(std::pair(r.ret, r.text), cmdline(p.pid(), r.size)) << r.size;
}

// A child named `name` that waits (alive) or has ended unreaped (zombie).
pid_t named_child(const char* name, bool zombie) {
  int p[2];
  if (pipe2(p, O_CLOEXEC) != 0) return -1;
  const pid_t pid = fork_running(ForkKind::kFork, 1, -1, [&] {
    prctl(PR_SET_NAME, name);
    while (write(p[1], "r", 1) == 1 && !zombie) pause();
    return 0;
  });
  char c;
  close(p[1]);
  (void)!read(p[0], &c, 1);
  close(p[0]);
  siginfo_t si;
  if (zombie) waitid(P_PID, static_cast<id_t>(pid), &si, WEXITED | WNOWAIT);
  return pid;
}

TEST_F(UtilsTest, ProcReadersOfThreadsNamesAndLife) {
  int owner = 0;
  std::thread([&] { owner = kiv_get_ppid_form_pid(static_cast<int>(syscall(SYS_gettid))); }).join();
  EXPECT_EQ(getpid(), owner) << "a thread's owning process";

  const pid_t alive = named_child("a) Z (b", false), zombie = named_child("a) S (b", true);
  char buf[64] = "junk";
  EXPECT_EQ(0, kiv_get_pid_name(alive, buf, 4));
  EXPECT_STREQ("a) ", buf) << "cut to the buffer";
  // A name holding ") Z" must not pass for a zombie's state, nor ") S" hide one.
  EXPECT_EQ(0, process_life(alive));
  EXPECT_EQ(-1, process_life(zombie));
  const std::string score = "/proc/" + std::to_string(alive) + "/oom_score_adj", caps = read_file("/proc/self/status");
  // oom_adj -17 (-1000 here) lowers the value: only with CAP_SYS_RESOURCE, which root lacks on some hosts.
  const bool may_lower = (std::stoull(caps.substr(caps.find("CapEff:") + 7), nullptr, 16) >> CAP_SYS_RESOURCE) & 1;
  EXPECT_EQ(may_lower ? 5 : -1, kiv_ignore_lmk(alive));
  EXPECT_EQ(may_lower ? "-1000\n" : "0\n", read_file(score));
  EXPECT_EQ(3, kiv_reset_lmk(alive));
  EXPECT_EQ("0\n", read_file(score));
  for (pid_t pid : {alive, zombie}) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  EXPECT_EQ(-1, process_life(alive));
  EXPECT_EQ(-2, kiv_get_pid_name(alive, buf, sizeof buf) + kiv_reset_lmk(alive));
}

}  // namespace
}  // namespace kiv::test
