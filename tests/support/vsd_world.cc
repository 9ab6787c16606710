// Helpers of the VSD tests (see vsd_world.h).
#include "support/vsd_world.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "support/sandbox.h"

namespace kiv::test {
namespace {

constexpr char kStartScript[] = "/etc/rc.d/rc.vsd/S10probe";

void remove_probe_links() {
  for (const auto& name : list_dir("/sbin")) {
    if (name.rfind("vsd_probe", 0) == 0) (void)unlink(("/sbin/" + name).c_str());
  }
}

void clear_probe_dir() {
  for (const auto& name : list_dir(kProbeDir)) (void)unlink((std::string(kProbeDir) + "/" + name).c_str());
  (void)mkdir(kProbeDir, 0777);
}

std::vector<pid_t> other_processes() {
  std::vector<pid_t> pids;
  for (const auto& name : list_dir("/proc")) {
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    pid_t pid = static_cast<pid_t>(atoi(name.c_str()));
    if (pid != 1 && pid != getpid()) pids.push_back(pid);
  }
  return pids;
}

}  // namespace

void end_sandbox_processes() {
  // Only inside the sandbox: there every other process is this binary's.
  if (!sandbox_unavailable_reason().empty()) return;
  for (int round = 0; round < 100; ++round) {
    std::vector<pid_t> pids = other_processes();
    if (pids.empty()) return;
    for (pid_t p : pids) (void)kill(p, SIGKILL);
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    usleep(20000);
  }
  ADD_FAILURE() << "processes of the test still run";
}

// The creation child opens up two device nodes of the device. /dev in the
// sandbox is the host's: should a host have such nodes, a sandbox file is
// mounted over each (in the sandbox's private mount namespace) so that the
// host's stay as they are. false when that could not be done.
static bool shield_host_device_nodes() {
  for (const char* dev : {"/dev/lsm", "/dev/mmapipc"}) {
    struct stat st;
    if (lstat(dev, &st) != 0) continue;
    if (read_file("/proc/self/mountinfo").find(std::string(" ") + dev + " ") != std::string::npos) continue;
    const std::string stand_in = std::string("/tmp/.vsd_shield_") + (dev + 5);
    write_file(stand_in, "", 0600);
    if (mount(stand_in.c_str(), dev, nullptr, MS_BIND, nullptr) != 0) return false;
  }
  return true;
}

static void remove_vsd_cgroups() {
  for (int n = 1; n <= 15; ++n) {
    for (const char* h : {"/memory", "/cpu"}) {
      const std::string dir = std::string(h) + "/vsd_" + std::to_string(n);
      for (int i = 0; i < 50 && rmdir(dir.c_str()) != 0 && errno == EBUSY; ++i) usleep(20000);
    }
  }
}

void VsdTest::SetUp() {
  end_sandbox_processes();
  if (have_cgroups()) remove_vsd_cgroups();
  SandboxTest::SetUp();
  if (IsSkipped()) return;
  if (!shield_host_device_nodes()) GTEST_SKIP() << "cannot keep the host's /dev/lsm and /dev/mmapipc apart";
  remove_probe_links();
  clear_probe_dir();
  unsetenv("FS_SERVICE_STUB_FAIL");
  unsetenv("DATA_TALU_DIR2");
}

void VsdTest::TearDown() {
  end_sandbox_processes();
  if (have_cgroups()) remove_vsd_cgroups();
  SandboxTest::TearDown();
}

bool ChildRun::exited(int code) const { return WIFEXITED(status) && WEXITSTATUS(status) == code; }

ChildTask::ChildTask(const std::function<int()>& fn) {
  fflush(nullptr);
  out_ = memfd_create("vsd-child-out", MFD_CLOEXEC);
  pid_ = fork();
  if (pid_ == 0) {
    dup2(out_, 1);
    const int code = fn();
    fflush(nullptr);
    _exit(code);
  }
}

ChildTask::~ChildTask() {
  if (pid_ > 0) (void)wait(0);
  if (out_ >= 0) close(out_);
}

ChildRun ChildTask::wait(int timeout_s) {
  ChildRun run;
  run.pid = pid_;
  if (pid_ <= 0) return run;
  const long long deadline = now_ms() + timeout_s * 1000LL;
  while (waitpid(pid_, &run.status, WNOHANG) == 0) {
    if (now_ms() > deadline) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &run.status, 0);
      ADD_FAILURE() << "child did not end within " << timeout_s << " s";
      break;
    }
    usleep(2000);
  }
  pid_ = -1;
  char buf[4096];
  lseek(out_, 0, SEEK_SET);
  for (ssize_t n; (n = read(out_, buf, sizeof buf)) > 0;) run.out.append(buf, static_cast<size_t>(n));
  return run;
}

ChildRun run_in_child(const std::function<int()>& fn, int timeout_s) {
  ChildTask task(fn);
  return task.wait(timeout_s);
}

GroupHolder::GroupHolder(const std::vector<gid_t>& groups) {
  int ready[2];
  if (pipe2(ready, O_CLOEXEC) != 0) return;
  pid_ = fork();
  if (pid_ == 0) {
    if (setgroups(groups.size(), groups.data()) != 0) _exit(3);
    (void)!write(ready[1], "r", 1);
    alarm(120);
    for (;;) pause();
  }
  close(ready[1]);
  char c;
  if (read(ready[0], &c, 1) != 1) ADD_FAILURE() << "group holder did not start";
  close(ready[0]);
}

GroupHolder::~GroupHolder() {
  if (pid_ > 0 && kill(pid_, SIGKILL) == 0) (void)waitpid(pid_, nullptr, 0);
}

int GroupHolder::wait_end(int timeout_ms) {
  const long long deadline = now_ms() + timeout_ms;
  int status = 0;
  while (now_ms() < deadline) {
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      pid_ = -1;
      return status;
    }
    usleep(5000);
  }
  return -1;
}

void install_probe(const std::string& name) {
  const std::string link = "/sbin/" + name;
  (void)unlink(link.c_str());
  if (symlink(KIV_TEST_BIN_DIR "/vsd_probe", link.c_str()) != 0)
    ADD_FAILURE() << "symlink " << link << ": " << strerror(errno);
}

void install_start_script() {
  install_probe("vsd_probe_start_once");
  install_probe("vsd_probe_stay");
  install_probe("vsd_probe_ignterm");
  // Background members must not keep run-parts' output pipes open, or the
  // runner would wait for them.
  write_file(kStartScript,
             "#!/bin/sh\n"
             "n=${TMPDIR##*/}\n"
             "echo \"$1\" >> /tmp/vsd_probe/runs.$n\n"
             "/sbin/vsd_probe_start_once\n"
             "/sbin/vsd_probe_stay </dev/null >/dev/null 2>&1 &\n"
             "if [ -e /tmp/vsd_probe/ignterm.$n ]; then\n"
             "  /sbin/vsd_probe_ignterm </dev/null >/dev/null 2>&1 &\n"
             "fi\n"
             "exit 0\n",
             0755);
}

void write_file(const std::string& path, const std::string& text, mode_t mode) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) {
    ADD_FAILURE() << "open " << path << ": " << strerror(errno);
    return;
  }
  if (write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
    ADD_FAILURE() << "write " << path;
  fchmod(fd, mode);
  close(fd);
}

std::string read_file(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

int mode_of(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
}

unsigned long long inode_of(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<unsigned long long>(st.st_ino) : 0;
}

std::vector<std::string> list_dir(const std::string& path) {
  std::vector<std::string> names;
  DIR* d = opendir(path.c_str());
  if (d == nullptr) return names;
  while (struct dirent* e = readdir(d)) {
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.emplace_back(e->d_name);
  }
  closedir(d);
  return names;
}

std::map<std::string, std::string> probe_report(const std::string& name, const std::string& tag,
                                                int timeout_ms) {
  const std::string path = std::string(kProbeDir) + "/" + name + "." + tag;
  const long long deadline = now_ms() + timeout_ms;
  while (!exists(path) && now_ms() < deadline) usleep(5000);
  std::map<std::string, std::string> report;
  std::istringstream in(read_file(path));
  std::string line;
  while (std::getline(in, line)) {
    size_t eq = line.find('=');
    if (eq != std::string::npos) report[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return report;
}

long long now_ms() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace kiv::test
