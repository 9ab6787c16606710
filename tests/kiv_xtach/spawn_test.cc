// kiv_start_user_process: the detached child as it sees itself (a probe that
// reports on itself), the splitting of the command, the descriptors that
// must not reach it; and kiv_client_watch_process_fd ending its process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>

#include <map>
#include <set>
#include <sstream>

#include "kiv_pidfile.h"
#include "kiv_utils.h"
#include "kiv_xtach.h"
#include "support/child.h"
#include "support/files.h"
#include "support/fixture.h"

namespace kiv::test {
namespace {

constexpr char kProbe[] = "/tmp/xt/xtach_probe";  // the name picks the program's mode
constexpr char kReport[] = "/tmp/xt/report";
using Report = std::multimap<std::string, std::string>;  // its "key value" lines

class SpawnTest : public SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    ASSERT_EQ(0, system("mkdir -p /tmp/xt && ln -sf " KIV_TEST_BIN_DIR "/kiv_test_program /tmp/xt/xtach_probe"));
    setenv("XTACH_PROBE_OUT", kReport, 1);
  }
  void TearDown() override {
    unsetenv("XTACH_PROBE_OUT");
    SandboxTest::TearDown();
  }
};

// Starts cmd and takes the probe's report, then ends and reaps it; an empty
// report from a child that ended without one.
Report spawn(const std::string& cmd) {
  const pid_t pid = kiv_start_user_process(cmd.c_str());
  EXPECT_GT(pid, 0) << cmd;
  for (int i = 0; pid > 0 && i < 1000 && !exists(kReport) && waitpid(pid, nullptr, WNOHANG) == 0; ++i) usleep(5000);
  (void)kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
  Report report;
  std::istringstream in(read_file(kReport));
  for (std::string line; std::getline(in, line);) {
    const size_t sep = line.find(' ');
    report.emplace(line.substr(0, sep), line.substr(sep + 1));
  }
  (void)unlink(kReport);
  return report;
}

TEST_F(SpawnTest, ChildIsDetachedWithDefaults) {
  // What a child would otherwise inherit: ignored signals, a working
  // directory, a real-time policy, the SIGCHLD block of the fork, and the
  // descriptors that the library keeps or opens and closes.
  struct sigaction ign = {}, old_usr1;
  ign.sa_handler = SIG_IGN;
  sigaction(SIGUSR1, &ign, &old_usr1);
  const struct sched_param rt = {1}, normal = {0};
  (void)pthread_setschedparam(pthread_self(), SCHED_FIFO, &rt);
  const int lock_fd = already_running("/tmp/xt/lock");
  ASSERT_EQ(0, kiv_db_create(0, getpid(), 2, "/tmp/xt/prog arg"));
  const std::string db = "/tmp/vsd/0/kiv/db/prog." + std::to_string(getpid());
  char buf[256];
  ASSERT_EQ(0, kiv_get_cmdline(getpid(), buf, sizeof buf));
  std::set<std::string> inheritable;
  for (const auto& [fd, target] : open_descriptors())
    if ((fcntl(fd, F_GETFD) & FD_CLOEXEC) == 0) inheritable.insert(std::to_string(fd));
  ASSERT_EQ(0, chdir("/tmp/xt"));
  Report r = spawn(kProbe);
  ASSERT_EQ(0, chdir("/"));
  pthread_setschedparam(pthread_self(), SCHED_OTHER, &normal);
  sigaction(SIGUSR1, &old_usr1, nullptr);
  sigset_t now;
  pthread_sigmask(SIG_SETMASK, nullptr, &now);
  EXPECT_FALSE(sigismember(&now, SIGCHLD)) << "the caller's mask is restored";
  EXPECT_EQ(r.find("pid")->second, r.find("sid")->second) << "leads its own session";
  EXPECT_EQ("/", r.find("cwd")->second);
  EXPECT_EQ("0000000000000000", r.find("SigIgn:")->second);
  EXPECT_EQ("0000000000000000", r.find("SigBlk:")->second);
  EXPECT_EQ(std::to_string(SCHED_OTHER), r.find("policy")->second);
  std::set<std::string> got;
  for (auto [it, end] = r.equal_range("fd"); it != end; ++it) got.insert(it->second);
  EXPECT_EQ(inheritable, got);
  close(lock_fd);
  for (const auto& [fd, target] : open_descriptors())
    if (target == db) close(fd);
}

TEST_F(SpawnTest, FdWatchEndsItsProcessOnTheFourthOverLimitObservationInARow) {
  for (int i = 0; i < 5; ++i) kiv_client_watch_process_fd(getpid());  // far below the limit
  kiv_client_watch_process_fd(ended_pid());                           // nothing to read
  // Three at the limit, one below (the count starts again), then four at it.
  const ChildResult r = run_in_child([] {
    return execl(KIV_TEST_BIN_DIR "/xtach_fd_watcher", "xtach_fd_watcher", "40", "OOOUOOOO", nullptr);
  });
  EXPECT_EQ(1, exit_code(r));
  EXPECT_EQ("OOOUOOO", r.output);  // the calls that returned
}

}  // namespace
}  // namespace kiv::test
