// Helpers of the VSD tests (see vsd_world.h).
#include "support/vsd_world.h"

#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/wait.h>

#include <sstream>

#include "sandbox/sandbox.h"

namespace kiv::test {
namespace {

// Every other process of the sandbox is this binary's.
void end_sandbox_processes() {
  for (int round = 0; round < 100; ++round) {
    bool any = false;
    for (const auto& name : list_dir("/proc")) {
      const pid_t pid = atoi(name.c_str());
      if (pid > 1 && pid != getpid() && name.find_first_not_of("0123456789") == std::string::npos) {
        any = true;
        (void)kill(pid, SIGKILL);
      }
    }
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    if (!any) return;
    usleep(20000);
  }
  ADD_FAILURE() << "processes of the test still run";
}

void remove_vsd_cgroups() {
  if (!sandbox::have_cgroups()) return;
  for (int n = 0; n <= 15; ++n) {
    for (const char* h : {"/memory", "/cpu"}) {
      const std::string dir = std::string(h) + "/vsd_" + std::to_string(n);
      for (int i = 0; i < 50 && rmdir(dir.c_str()) != 0 && errno == EBUSY; ++i) usleep(20000);
    }
  }
}

// The creation child opens up two device nodes; /dev in the sandbox is the
// host's, so a sandbox file is mounted over each that exists (in the
// sandbox's own mount namespace).
bool shield_host_device_nodes() {
  for (const char* dev : {"/dev/lsm", "/dev/mmapipc"}) {
    if (!exists(dev) || mounted(dev)) continue;
    const std::string stand_in = std::string("/tmp/.vsd_shield_") + (dev + 5);
    write_file(stand_in, "", 0600);
    if (mount(stand_in.c_str(), dev, nullptr, MS_BIND, nullptr) != 0) return false;
  }
  return true;
}

}  // namespace

void VsdTest::SetUp() {
  if (!sandbox::sandbox_unavailable_reason().empty()) GTEST_SKIP() << sandbox::sandbox_unavailable_reason();
  end_sandbox_processes();
  remove_vsd_cgroups();
  SandboxTest::SetUp();
  if (!shield_host_device_nodes()) GTEST_SKIP() << "cannot keep the host's /dev/lsm and /dev/mmapipc apart";
  for (const auto& name : list_dir("/sbin"))
    if (name.rfind("vsd_probe", 0) == 0) (void)unlink(("/sbin/" + name).c_str());
  remove_tree("/tmp/vsd_probe");
  make_dirs({"/tmp/vsd_probe"}, 0777);
  unsetenv("FS_SERVICE_STUB_FAIL");
  unsetenv("DATA_TALU_DIR2");
}

void VsdTest::TearDown() {
  if (!sandbox::sandbox_unavailable_reason().empty()) return;
  end_sandbox_processes();
  remove_vsd_cgroups();
  SandboxTest::TearDown();
}

Hog::Hog(unsigned kib, const std::vector<gid_t>& groups, const std::vector<std::string>& tasks_files)
    : TestProgram("vsd_res_hog", {std::to_string(kib)}, {.argv0 = {}, .uid = -1, .groups = groups, .cgroup_tasks = tasks_files, .wait_ready = true}) {}

bool Hog::killed_by(int sig) {
  const int status = wait(1000);
  return status != -1 && WIFSIGNALED(status) && WTERMSIG(status) == sig;
}

void install_probe(const std::string& name) {
  const std::string link = "/sbin/" + name;
  if (symlink((KIV_TEST_BIN_DIR "/" + name).c_str(), link.c_str()) != 0)
    ADD_FAILURE() << "symlink " << link << ": " << strerror(errno);
}

void install_start_script() {
  for (const char* name : {"vsd_probe_start", "vsd_probe_stay", "vsd_probe_ignterm"}) install_probe(name);
  // Background members must not keep run-parts' output pipes open, or the
  // runner would wait for them.
  write_file("/etc/rc.d/rc.vsd/S10probe",
             "#!/bin/sh\n"
             "n=${TMPDIR##*/}\n"
             "echo \"$1\" >> /tmp/vsd_probe/runs.$n\n"
             "/sbin/vsd_probe_start\n"
             "/sbin/vsd_probe_stay </dev/null >/dev/null 2>&1 &\n"
             "if [ -e /tmp/vsd_probe/ignterm.$n ]; then /sbin/vsd_probe_ignterm </dev/null >/dev/null 2>&1 & fi\n"
             "exit 0\n",
             0755);
}

std::map<std::string, std::string> probe_report(const std::string& name, const std::string& tag) {
  const std::string path = "/tmp/vsd_probe/" + name + "." + tag;
  (void)wait_for_file(path, 5000);
  std::map<std::string, std::string> report;
  std::istringstream in(read_file(path));
  for (std::string line; std::getline(in, line);) {
    const size_t eq = line.find('=');
    if (eq != std::string::npos) report[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return report;
}

void make_dirs(const std::vector<std::string>& dirs, mode_t mode) {
  for (const auto& d : dirs)
    if (mkdir(d.c_str(), mode) != 0 && errno != EEXIST) ADD_FAILURE() << "mkdir " << d << ": " << strerror(errno);
}

void make_member_dir(int vsd_no, const std::vector<pid_t>& members) {
  const std::string root = "/tmp/vsd/" + std::to_string(vsd_no);
  make_dirs({root, root + "/kiv", root + "/kiv/db"}, 0777);
  for (pid_t pid : members) write_file(root + "/kiv/" + std::to_string(pid), "", 0754);
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

std::string logged(const std::function<void()>& fn) {
  g_kiv_dbg_level[KIV_DBG_LIB] = 0;
  const std::string out = capture_stdout(fn);
  g_kiv_dbg_level[KIV_DBG_LIB] = KIV_DBG_OFF;
  return without_line_numbers(out);
}

bool gone(const std::string& pid) {
  const std::string stat = read_file("/proc/" + pid + "/stat");
  return stat.empty() || stat.find(") Z ") != std::string::npos;
}

bool mounted(const std::string& path) {
  return read_file("/proc/self/mountinfo").find(" " + path + " ") != std::string::npos;
}

}  // namespace kiv::test
