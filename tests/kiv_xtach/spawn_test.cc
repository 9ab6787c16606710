// kiv_start_user_process: the detached child as it sees itself (through a
// probe program that reports on itself), the splitting of the command, and
// the descriptors that must not reach it.
#include "kiv_xtach.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "kiv_dbg.h"
#include "kiv_pidfile.h"
#include "kiv_utils.h"
#include "support/capture.h"
#include "support/fixture.h"
#include "support/child.h"
#include "support/files.h"
#include "support/log_text.h"

namespace kiv::test {
namespace {

const std::string kProbeBin = std::string(KIV_TEST_BIN_DIR) + "/xtach_probe";
constexpr char kDir[] = "/tmp/xt";
constexpr char kProbe[] = "/tmp/xt/p";  // a short name for the probe
constexpr char kReport[] = "/tmp/xt/report";

struct Report {
  pid_t pid = -1;
  std::vector<std::string> args;
  pid_t sid = -1;
  pid_t self = -1;
  std::string cwd, sig_ign, sig_blk;
  int policy = -1;
  std::map<int, std::string> fds;
};

Report parse(const std::string& text) {
  Report r;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("arg ", 0) == 0) {
      r.args.push_back(line.substr(4));
    } else if (line.rfind("sid ", 0) == 0) {
      sscanf(line.c_str(), "sid %d pid %d", &r.sid, &r.self);
    } else if (line.rfind("cwd ", 0) == 0) {
      r.cwd = line.substr(4);
    } else if (line.rfind("SigIgn:\t", 0) == 0) {
      r.sig_ign = line.substr(8);
    } else if (line.rfind("SigBlk:\t", 0) == 0) {
      r.sig_blk = line.substr(8);
    } else if (line.rfind("policy ", 0) == 0) {
      r.policy = atoi(line.c_str() + 7);
    } else if (line.rfind("fd ", 0) == 0) {
      int fd = -1;
      char target[300] = {};
      sscanf(line.c_str(), "fd %d %299[^\n]", &fd, target);
      r.fds[fd] = target;
    }
  }
  return r;
}

class SpawnTest : public SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    remove_tree(kDir);
    ASSERT_EQ(0, mkdir(kDir, 0755));
    ASSERT_EQ(0, symlink(kProbeBin.c_str(), kProbe));
    setenv("XTACH_PROBE_OUT", kReport, 1);
  }
  void TearDown() override {
    unsetenv("XTACH_PROBE_OUT");
    remove_tree(kDir);
    SandboxTest::TearDown();
  }

  // Starts cmd, waits for the probe's report, then ends and reaps it.
  static Report spawn(const std::string& cmd) {
    unlink(kReport);
    const pid_t pid = kiv_start_user_process(cmd.c_str());
    EXPECT_GT(pid, 0) << cmd;
    if (pid <= 0) return {};
    const bool reported = wait_for_file(kReport, 5000);
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(reported) << cmd << ": exit status " << exit_code(status);
    Report r = parse(read_file(kReport));
    r.pid = pid;
    return r;
  }
};

TEST_F(SpawnTest, ChildIsDetachedWithDefaults) {
  // What a child would otherwise inherit: ignored signals, a working
  // directory, a real-time policy, and the SIGCHLD block of the fork.
  struct sigaction ign, old_usr1, old_hup;
  memset(&ign, 0, sizeof ign);
  ign.sa_handler = SIG_IGN;
  sigaction(SIGUSR1, &ign, &old_usr1);
  sigaction(SIGHUP, &ign, &old_hup);
  char cwd[512];
  ASSERT_NE(nullptr, getcwd(cwd, sizeof cwd));
  ASSERT_EQ(0, chdir(kDir));
  struct sched_param rt = {};
  rt.sched_priority = 1;
  const bool was_rt = pthread_setschedparam(pthread_self(), SCHED_FIFO, &rt) == 0;

  Report r = spawn(kProbe);

  struct sched_param normal = {};
  pthread_setschedparam(pthread_self(), SCHED_OTHER, &normal);
  ASSERT_EQ(0, chdir(cwd));
  sigaction(SIGUSR1, &old_usr1, nullptr);
  sigaction(SIGHUP, &old_hup, nullptr);
  sigset_t now;
  pthread_sigmask(SIG_SETMASK, nullptr, &now);
  EXPECT_FALSE(sigismember(&now, SIGCHLD)) << "the caller's mask is restored";

  EXPECT_EQ(std::vector<std::string>{kProbe}, r.args);
  EXPECT_EQ(r.pid, r.self);
  EXPECT_EQ(r.self, r.sid) << "leads its own session";
  EXPECT_NE(getsid(0), r.sid);
  EXPECT_EQ("/", r.cwd);
  EXPECT_EQ("0000000000000000", r.sig_ign);
  EXPECT_EQ("0000000000000000", r.sig_blk);
  EXPECT_EQ(SCHED_OTHER, r.policy) << "caller was real-time: " << was_rt;
}

TEST_F(SpawnTest, CommandIsSplitAtBlanks) {
  // Each command is also an empty file, so that it passes the existence test.
  std::string cmd = std::string(kProbe) + "  a\t\tb \t c";
  write_file(cmd);
  EXPECT_EQ((std::vector<std::string>{kProbe, "a", "b", "c"}), spawn(cmd).args);

  // Fourteen words at most.
  cmd = kProbe;
  std::vector<std::string> want{kProbe};
  for (int i = 1; i <= 20; ++i) {
    cmd += " " + std::to_string(i);
    if (i < 14) want.push_back(std::to_string(i));
  }
  write_file(cmd);
  EXPECT_EQ(want, spawn(cmd).args);

  // 127 characters at most, cut before splitting.
  cmd = std::string(kProbe) + " " + std::string(130, 'x');
  write_file(cmd);
  EXPECT_EQ((std::vector<std::string>{kProbe, std::string(127 - strlen(kProbe) - 1, 'x')}), spawn(cmd).args);

  // Leading blanks: the existence test takes them as part of a relative
  // path, the split skips them.
  const std::string base = std::string(kDir) + "/lead";
  const std::string rel = std::string("  \t") + kDir;
  ASSERT_EQ(0, mkdir(base.c_str(), 0755));
  ASSERT_EQ(0, mkdir((base + "/  \t").c_str(), 0755));
  ASSERT_EQ(0, mkdir((base + "/  \t/tmp").c_str(), 0755));
  ASSERT_EQ(0, mkdir((base + "/" + rel).c_str(), 0755));
  write_file(base + "/" + rel + "/p a");
  char cwd[512];
  ASSERT_NE(nullptr, getcwd(cwd, sizeof cwd));
  ASSERT_EQ(0, chdir(base.c_str()));
  Report r = spawn(rel + "/p a");
  ASSERT_EQ(0, chdir(cwd));
  EXPECT_EQ((std::vector<std::string>{kProbe, "a"}), r.args);
}

TEST_F(SpawnTest, RefusalsAndFailuresAreLogged) {
  g_kiv_dbg_level[KIV_DBG_LIB] = 0;
  std::string out = capture_stdout([] { EXPECT_EQ(-1, kiv_start_user_process(nullptr)); });
  EXPECT_EQ("[KIV:kiv_xtach:N]proc_path is null\n", without_line_numbers(out));
  // A command with arguments is tested as one file name.
  const std::string cmd = std::string(kProbe) + " a b";
  out = capture_stdout([&] { EXPECT_EQ(-1, kiv_start_user_process(cmd.c_str())); });
  EXPECT_EQ("[KIV:kiv_xtach:N]/tmp/xt/p a b not exist: No such file or directory\n",
            without_line_numbers(out));

  // A file that exists but can't be executed: the child logs and exits 1.
  const std::string plain = std::string(kDir) + "/plain";
  write_file(plain);
  pid_t pid = -1;
  int status = 0;
  out = capture_stdout([&] {
    pid = kiv_start_user_process(plain.c_str());
    if (pid > 0) waitpid(pid, &status, 0);
  });
  g_kiv_dbg_level[KIV_DBG_LIB] = KIV_DBG_OFF;
  ASSERT_GT(pid, 0);
  EXPECT_EQ(1, exit_code(status));
  const std::string pid_text = std::to_string(pid);
  // The parent's line and the child's two, in whichever order they came.
  out = without_line_numbers(out);
  for (const std::string& line :
       {"[KIV:kiv_xtach:N]kiv_spawn_by_user--> process = /tmp/xt/plain, new pid: " + pid_text + "\n",
        std::string("[KIV:kiv_xtach:N]/sys/kernel/qn_lowmem_killer/flush_tlb find fail, error = "
                    "No such file or directory.\n"),
        std::string("[KIV:kiv_xtach:N]HA_RESTART execvp fail, error = Permission denied.\n")}) {
    const size_t at = out.find(line);
    EXPECT_NE(std::string::npos, at) << line;
    if (at != std::string::npos) out.erase(at, line.size());
  }
  EXPECT_EQ("", out);
}

TEST_F(SpawnTest, FlushControlFileIsWritten) {
  // The control file belongs to a kernel module this host lacks: stand one
  // in on a tmpfs, in a mount namespace of a child's own.
  const int status = run_in_child([] {
    if (unshare(CLONE_NEWNS) != 0) return 10;
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return 11;
    if (mount("tmpfs", "/sys/kernel", "tmpfs", 0, "mode=0755") != 0) return 12;
    if (mkdir("/sys/kernel/qn_lowmem_killer", 0755) != 0) return 13;
    const char* flush = "/sys/kernel/qn_lowmem_killer/flush_tlb";
    int fd = open(flush, O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    if (fd < 0) return 14;
    close(fd);
    const pid_t pid = kiv_start_user_process(kProbe);
    if (pid <= 0) return 15;
    const bool reported = wait_for_file(kReport, 5000);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    if (!reported) return 16;
    return read_file(flush) == "1\n" ? 0 : 17;
  }).status;
  EXPECT_EQ(0, exit_code(status));
}

TEST_F(SpawnTest, NoDescriptorIsInherited) {
  // Descriptors the library keeps open, and calls that open and close some.
  const std::string lock = std::string(kDir) + "/lock";
  const int lock_fd = already_running(lock.c_str());
  ASSERT_GE(lock_fd, 0);
  ASSERT_EQ(0, kiv_db_create(0, getpid(), 2, "/tmp/xt/prog arg"));
  const std::string db = "/tmp/vsd/0/kiv/db/prog." + std::to_string(getpid());
  char buf[256];
  ASSERT_EQ(0, kiv_get_cmdline(getpid(), buf, sizeof buf));
  ASSERT_EQ(0, process_life(getpid()));
  ASSERT_EQ(getpid(), kiv_get_ppid_form_pid(getpid()));
  keep_descriptors_matching(lock);
  keep_descriptors_matching(db);

  std::set<int> inheritable;
  int db_fd = -1;
  for (const auto& [fd, target] : open_descriptors()) {
    const bool cloexec = (fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0;
    if (target == lock || target == db) {
      EXPECT_TRUE(cloexec) << target;
    }
    if (target == db) db_fd = fd;
    if (!cloexec) inheritable.insert(fd);
  }
  ASSERT_GE(db_fd, 0);

  Report r = spawn(kProbe);
  std::set<int> got;
  for (const auto& [fd, target] : r.fds) {
    got.insert(fd);
    EXPECT_NE(lock, target);
    EXPECT_NE(db, target);
  }
  EXPECT_EQ(inheritable, got);
  close(lock_fd);
  close(db_fd);
}

}  // namespace
}  // namespace kiv::test
