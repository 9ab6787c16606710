// kiv_start_user_process: the detached child as it sees itself (through a
// probe that reports on itself), the splitting of the command, and the
// descriptors that must not reach it.
#include "kiv_xtach.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
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

#include "kiv_pidfile.h"
#include "kiv_utils.h"
#include "support/child.h"
#include "support/files.h"
#include "support/fixture.h"

namespace kiv::test {
namespace {

constexpr char kDir[] = "/tmp/xt";
constexpr char kProbe[] = "/tmp/xt/xtach_probe";  // the name picks the program's mode
constexpr char kReport[] = "/tmp/xt/report";

using Report = std::multimap<std::string, std::string>;  // "key value" lines

class SpawnTest : public SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    remove_tree(kDir);
    ASSERT_EQ(0, mkdir(kDir, 0755));
    ASSERT_EQ(0, symlink(KIV_TEST_BIN_DIR "/kiv_test_program", kProbe));
    setenv("XTACH_PROBE_OUT", kReport, 1);
  }
  void TearDown() override {
    unsetenv("XTACH_PROBE_OUT");
    remove_tree(kDir);
    SandboxTest::TearDown();
  }
};

// Waits for the report of the child pid, then ends and reaps it; the exit
// status of a child that ended without a report.
int collect(pid_t pid, Report* report) {
  int status = 0;
  pid_t ended = 0;
  for (int i = 0; i < 1000 && !exists(kReport) && (ended = waitpid(pid, &status, WNOHANG)) == 0; ++i) usleep(5000);
  if (ended == 0) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  std::istringstream in(read_file(kReport));
  for (std::string line; std::getline(in, line);) {
    const size_t sep = line.find_first_of(" \t");
    report->emplace(line.substr(0, sep), line.substr(line.find_first_not_of(" \t", sep)));
  }
  const bool reported = unlink(kReport) == 0;
  return reported ? 0 : ended > 0 ? exit_code(status) : -1;
}

std::vector<std::string> args_of(const Report& r) {
  std::vector<std::string> out;
  for (auto [it, end] = r.equal_range("arg"); it != end; ++it) out.push_back(it->second);
  return out;
}

TEST_F(SpawnTest, ChildIsDetachedWithDefaults) {
  // What a child would otherwise inherit: ignored signals, a working
  // directory, a real-time policy, the SIGCHLD block of the fork, and
  // descriptors that the library keeps or opens and closes.
  struct sigaction ign = {}, old_usr1, old_hup;
  ign.sa_handler = SIG_IGN;
  sigaction(SIGUSR1, &ign, &old_usr1);
  sigaction(SIGHUP, &ign, &old_hup);
  const struct sched_param rt = {1}, normal = {0};
  const bool was_rt = pthread_setschedparam(pthread_self(), SCHED_FIFO, &rt) == 0;
  const std::string lock = std::string(kDir) + "/lock";
  const int lock_fd = already_running(lock.c_str());
  ASSERT_GE(lock_fd, 0);
  ASSERT_EQ(0, kiv_db_create(0, getpid(), 2, "/tmp/xt/prog arg"));
  const std::string db = "/tmp/vsd/0/kiv/db/prog." + std::to_string(getpid());
  char buf[256];
  ASSERT_EQ(0, kiv_get_cmdline(getpid(), buf, sizeof buf));
  ASSERT_EQ(getpid(), kiv_get_ppid_form_pid(getpid()));
  keep_descriptors_matching(lock);
  keep_descriptors_matching(db);
  std::set<std::string> inheritable;
  for (const auto& [fd, target] : open_descriptors()) {
    if ((fcntl(fd, F_GETFD) & FD_CLOEXEC) == 0) inheritable.insert(std::to_string(fd));
  }
  char cwd[512];
  ASSERT_NE(nullptr, getcwd(cwd, sizeof cwd));
  ASSERT_EQ(0, chdir(kDir));
  const pid_t pid = kiv_start_user_process(kProbe);
  ASSERT_EQ(0, chdir(cwd));
  pthread_setschedparam(pthread_self(), SCHED_OTHER, &normal);
  sigaction(SIGUSR1, &old_usr1, nullptr);
  sigaction(SIGHUP, &old_hup, nullptr);
  ASSERT_GT(pid, 0);
  Report r;
  ASSERT_EQ(0, collect(pid, &r));
  sigset_t now;
  pthread_sigmask(SIG_SETMASK, nullptr, &now);
  EXPECT_FALSE(sigismember(&now, SIGCHLD)) << "the caller's mask is restored";
  const std::string self = std::to_string(pid);
  EXPECT_EQ(self, r.find("pid")->second);
  EXPECT_EQ(self, r.find("sid")->second) << "leads its own session";
  EXPECT_EQ("/", r.find("cwd")->second);
  EXPECT_EQ("0000000000000000", r.find("SigIgn:")->second);
  EXPECT_EQ("0000000000000000", r.find("SigBlk:")->second);
  EXPECT_EQ(std::to_string(SCHED_OTHER), r.find("policy")->second) << "caller was real-time: " << was_rt;
  std::set<std::string> got;
  for (auto [it, end] = r.equal_range("fd"); it != end; ++it) got.insert(it->second.substr(0, it->second.find(' ')));
  EXPECT_EQ(inheritable, got);
  close(lock_fd);
  for (const auto& [fd, target] : open_descriptors())
    if (target == db) close(fd);
}

TEST_F(SpawnTest, CommandIsSplitAtBlanks) {
  const std::string p = kProbe;
  std::string words = p;
  std::vector<std::string> fourteen{p};
  for (int i = 1; i <= 20; ++i) {
    words += " " + std::to_string(i);
    if (i < 14) fourteen.push_back(std::to_string(i));
  }
  // Leading blanks: the existence test takes them as part of a path
  // relative to the working directory, the split skips them.
  const std::string lead = std::string("  \t") + p + " a";
  const std::string base = std::string(kDir) + "/lead/";
  ASSERT_EQ(0, system(("mkdir -p '" + base + "  \t" + kDir + "'").c_str()));
  const struct {
    std::string cmd;
    bool file;  // the whole command is also the name of a file
    std::vector<std::string> args;  // empty: refused (-1); {"exit 1"}: the program could not run
  } rows[] = {
      {p + "  a\t\tb \t c", true, {p, "a", "b", "c"}},
      {words, true, fourteen},
      {p + " " + std::string(130, 'x'), true, {p, std::string(127 - p.size() - 1, 'x')}},
      {lead, true, {p, "a"}},
      {p + " a b", false, {}},  // tested as one file name
      {std::string(kDir) + "/plain", true, {"exit 1"}},
  };
  char cwd[512];
  ASSERT_NE(nullptr, getcwd(cwd, sizeof cwd));
  ASSERT_EQ(0, chdir(base.c_str()));
  EXPECT_EQ(-1, kiv_start_user_process(nullptr));
  for (const auto& r : rows) {
    SCOPED_TRACE(r.cmd);
    if (r.file) write_file(r.cmd[0] == '/' ? r.cmd : base + r.cmd);
    const pid_t pid = kiv_start_user_process(r.cmd.c_str());
    if (r.args.empty()) {
      EXPECT_EQ(-1, pid);
      continue;
    }
    ASSERT_GT(pid, 0);
    Report report;
    const int status = collect(pid, &report);
    EXPECT_EQ(r.args, status == 0 ? args_of(report) : std::vector<std::string>{"exit " + std::to_string(status)});
  }
  ASSERT_EQ(0, chdir(cwd));
}

TEST_F(SpawnTest, FlushControlFileIsWritten) {
  // The control file belongs to a kernel module this host lacks: stand one
  // in on a tmpfs, in a mount namespace of a child's own.
  const ChildResult r = run_in_child([] {
    const char* flush = "/sys/kernel/qn_lowmem_killer/flush_tlb";
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", "/sys/kernel", "tmpfs", 0, "mode=0755") != 0 || mkdir("/sys/kernel/qn_lowmem_killer", 0755) != 0)
      return 10;
    write_file(flush);
    const pid_t pid = kiv_start_user_process(kProbe);
    Report report;
    if (pid <= 0 || collect(pid, &report) != 0) return 11;
    return read_file(flush) == "1\n" ? 0 : 12;
  });
  EXPECT_EQ(0, exit_code(r));
}

}  // namespace
}  // namespace kiv::test
