// Helpers of the VSD tests (see vsd_world.h).
#include "support/vsd_world.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>

#include "sandbox/sandbox.h"

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
  if (!sandbox::sandbox_unavailable_reason().empty()) return;
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
  if (sandbox::have_cgroups()) remove_vsd_cgroups();
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
  if (sandbox::have_cgroups()) remove_vsd_cgroups();
  SandboxTest::TearDown();
}

static ProgramOptions hog_options(const std::vector<gid_t>& groups, const std::vector<std::string>& tasks_files) {
  ProgramOptions opt;
  opt.groups = groups;
  opt.cgroup_tasks = tasks_files;
  opt.wait_ready = true;
  return opt;
}

Hog::Hog(unsigned kib, const std::vector<gid_t>& groups, const std::vector<std::string>& tasks_files)
    : TestProgram("vsd_res_hog", {std::to_string(kib)}, hog_options(groups, tasks_files)) {}

bool Hog::killed_by(int sig) {
  const int status = wait(1000);
  return status != -1 && WIFSIGNALED(status) && WTERMSIG(status) == sig;
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

std::map<std::string, std::string> probe_report(const std::string& name, const std::string& tag,
                                                int timeout_ms) {
  const std::string path = std::string(kProbeDir) + "/" + name + "." + tag;
  (void)wait_for_file(path, timeout_ms);
  std::map<std::string, std::string> report;
  std::istringstream in(read_file(path));
  std::string line;
  while (std::getline(in, line)) {
    size_t eq = line.find('=');
    if (eq != std::string::npos) report[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return report;
}

void make_member_dir(int vsd_no) {
  const std::string root = "/tmp/vsd/" + std::to_string(vsd_no);
  for (const std::string& d : {root, root + "/kiv", root + "/kiv/db"}) {
    if (mkdir(d.c_str(), 0777) != 0 && errno != EEXIST) ADD_FAILURE() << "mkdir " << d << ": " << strerror(errno);
  }
}

void add_member(int vsd_no, pid_t pid) {
  write_file("/tmp/vsd/" + std::to_string(vsd_no) + "/kiv/" + std::to_string(pid), "", 0754);
}

std::set<pid_t> tasks_of(const std::string& tasks_file) {
  std::set<pid_t> pids;
  std::istringstream in(read_file(tasks_file));
  for (pid_t pid; in >> pid;) pids.insert(pid);
  return pids;
}

std::string control_value(const std::string& path) {
  std::string text = read_file(path);
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

}  // namespace kiv::test
