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

// Inside the sandbox every other process is this binary's.
void end_processes_and_cgroups() {
  for (int round = 0;; ++round) {
    bool any = false;
    for (const auto& name : list_dir("/proc")) {
      const pid_t pid = atoi(name.c_str());
      if (pid > 1 && pid != getpid() && name.find_first_not_of("0123456789") == std::string::npos)
        any = kill(pid, SIGKILL) == 0 || any;
    }
    while (waitpid(-1, nullptr, WNOHANG) > 0) continue;
    if (!any) break;
    if (round == 100) ADD_FAILURE() << "processes of the test still run";
    usleep(20000);
  }
  for (int n = 0; n <= 15 && sandbox::have_cgroups(); ++n) {
    for (const char* h : {"/memory/vsd_", "/cpu/vsd_"}) {
      const std::string dir = h + std::to_string(n);
      for (int i = 0; i < 50 && rmdir(dir.c_str()) != 0 && errno == EBUSY; ++i) usleep(20000);
    }
  }
}

}  // namespace

void VsdTest::SetUp() {
  if (!sandbox::sandbox_unavailable_reason().empty()) GTEST_SKIP() << sandbox::sandbox_unavailable_reason();
  end_processes_and_cgroups();
  SandboxTest::SetUp();
  // The creation child opens up two device nodes. /dev is the host's: a
  // sandbox file is mounted over each (in the sandbox's mount namespace).
  static bool shielded = false;  // once per process: the mounts outlive each test's /tmp
  for (const std::string dev : {"/dev/lsm", "/dev/mmapipc"}) {
    const std::string shield = "/tmp/.vsd_shield_" + dev.substr(5);
    if (shielded || !exists(dev)) continue;
    write_file(shield, "", 0600);
    if (mount(shield.c_str(), dev.c_str(), nullptr, MS_BIND, nullptr) != 0) GTEST_SKIP() << "cannot shield " << dev;
  }
  shielded = true;
  for (const auto& name : list_dir("/sbin"))
    if (name.rfind("vsd_probe", 0) == 0) (void)unlink(("/sbin/" + name).c_str());
  remove_tree("/tmp/vsd_probe");
  make_dirs({"/tmp/vsd_probe"}, 0777);
  umask_ = umask(022);
}

void VsdTest::TearDown() {
  if (!sandbox::sandbox_unavailable_reason().empty()) return;
  umask(umask_);
  end_processes_and_cgroups();
  SandboxTest::TearDown();
}

Hog::Hog(unsigned kib, const std::vector<gid_t>& groups)
    : TestProgram("vsd_res_hog", {std::to_string(kib)},
                  {.argv0 = {}, .uid = -1, .groups = groups, .wait_ready = true}) {}

bool Hog::killed_by(int sig) {
  const int status = wait(1000);
  return status != -1 && WIFSIGNALED(status) && WTERMSIG(status) == sig;
}

void install_probe(const std::string& name) {
  if (symlink((KIV_TEST_BIN_DIR "/" + name).c_str(), ("/sbin/" + name).c_str()) != 0)
    ADD_FAILURE() << "symlink /sbin/" << name << ": " << strerror(errno);
}

void install_start_script() {
  for (const char* name : {"vsd_probe_start", "vsd_probe_stay", "vsd_probe_ignterm"}) install_probe(name);
  // Background members must not keep run-parts' output pipes open, or it
  // would wait for them.
  write_file("/etc/rc.d/rc.vsd/S10probe",
             "#!/bin/sh\nn=${TMPDIR##*/}\necho \"$1\" >> /tmp/vsd_probe/runs.$n\n/sbin/vsd_probe_start\n"
             "/sbin/vsd_probe_stay </dev/null >/dev/null 2>&1 &\n"
             "if [ -e /tmp/vsd_probe/ignterm.$n ]; then /sbin/vsd_probe_ignterm </dev/null >/dev/null 2>&1 & fi\n",
             0755);
}

std::map<std::string, std::string> probe_report(const std::string& name, const std::string& tag) {
  const std::string path = "/tmp/vsd_probe/" + name + "." + tag;
  (void)wait_until([&] { return exists(path); }, 5000);
  std::map<std::string, std::string> report;
  std::istringstream in(read_file(path));
  for (std::string line; std::getline(in, line);)
    if (line.find('=') != std::string::npos) report[line.substr(0, line.find('='))] = line.substr(line.find('=') + 1);
  return report;
}

std::map<std::string, std::string> vsd_view(const std::string& n, const std::string& ns, const std::string& argv) {
  return {{"groups", std::to_string(3000 + 100 * std::stoi(n))}, {"QN_CFG_DIR", "/qn_cfg/vsd/" + n},
          {"TALU_DIR", "/talu/vsd/" + n}, {"DATA_TALU_DIR", "/data/.talu/vsd/" + n},
          {"DATA_TALU_DIR2", "<unset>"}, {"TMPDIR", "/tmp/vsd/" + n},
          {"cwd", "/data/var/run/vsd/" + n}, {"netns", ns}, {"argv", argv}};
}

std::map<std::string, std::string> without_pid(std::map<std::string, std::string> report) {
  report.erase("pid");
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

std::string logged(const std::function<void()>& fn) {
  g_kiv_dbg_level[KIV_DBG_LIB] = 0;
  const std::string out = capture_stdout(fn);
  g_kiv_dbg_level[KIV_DBG_LIB] = KIV_DBG_OFF;
  return without_line_numbers(out);
}

}  // namespace kiv::test
