// Making the throwaway sandbox (see sandbox.h).
#include "sandbox/sandbox.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace kiv::sandbox {
namespace {

constexpr unsigned long kCgroupMagic = 0x27e0eb;  // CGROUP_SUPER_MAGIC (v1)
constexpr char kScratch[] = "/tmp/.kiv-sandbox";

std::string g_unavailable = "the sandbox was not entered";
std::string g_cgroup_unavailable = "no sandbox";
bool g_cgroups = false;

// Device directories every test starts with; /data2 only where a test asks.
const char* const kDeviceDirs[] = {
    "/tmp/kiv",         "/tmp/vsd",         "/tmp/vsd/0",       "/tmp/vsd/0/kiv",
    "/tmp/vsd/0/kiv/db", "/data",           "/data/.talu",      "/data/.talu/vsd",
    "/data/var",        "/data/var/run",    "/data/var/run/vsd", "/etc/vsd",
    "/qn_cfg",          "/qn_cfg/vsd",      "/talu",            "/talu/vsd",
    "/etc/rc.d",        "/etc/rc.d/rc.vsd", "/etc/cmdmap",
};
// What reset_device_tree() clears (cgroup mounts excluded).
const char* const kDeviceRoots[] = {
    "/tmp/kiv", "/tmp/vsd", "/data",           "/data2",         "/etc/vsd",
    "/qn_cfg",  "/talu",    "/etc/rc.d/rc.vsd", "/etc/cmdmap",   "/etc/dev_mon",
    "/etc/debug_log", "/tmp/.kiv_semphore_path",
};

[[noreturn]] void die(const char* what) {
  fprintf(stderr, "sandbox: %s: %s\n", what, strerror(errno));
  _exit(120);
}

void must_mount(const char* src, const std::string& dst, const char* type, unsigned long flags,
                const char* data) {
  if (mount(src, dst.c_str(), type, flags, data) != 0) {
    std::string what = std::string("mount ") + (src ? src : "") + " on " + dst;
    die(what.c_str());
  }
}

void mkdir_p(const std::string& path, mode_t mode = 0755) {
  std::string cur;
  std::stringstream ss(path);
  std::string part;
  while (std::getline(ss, part, '/')) {
    if (part.empty()) continue;
    cur += "/" + part;
    (void)mkdir(cur.c_str(), mode);
  }
}

bool is_cgroup_v1(const char* path) {
  struct statfs st;
  return statfs(path, &st) == 0 && static_cast<unsigned long>(st.f_type) == kCgroupMagic;
}

std::vector<std::string>* g_collect = nullptr;

int collect_dir(const char* path, const struct stat*, int type, struct FTW*) {
  if (type == FTW_DP) g_collect->emplace_back(path);
  return 0;
}

// Removes a cgroup directory and the groups below it, deepest first (the
// control files inside cannot and need not be removed); the kernel may need
// a moment after the last task has gone.
void remove_cgroup_tree(const std::string& dir) {
  for (int attempt = 0; attempt < 40; ++attempt) {
    std::vector<std::string> dirs;
    g_collect = &dirs;
    nftw(dir.c_str(), collect_dir, 16, FTW_DEPTH | FTW_PHYS);
    g_collect = nullptr;
    for (const auto& d : dirs) (void)rmdir(d.c_str());
    struct stat st;
    if (stat(dir.c_str(), &st) != 0 && errno == ENOENT) return;
    usleep(50000);
  }
  fprintf(stderr, "sandbox: could not remove cgroup %s: %s\n", dir.c_str(), strerror(errno));
}

// Groups of earlier runs whose host-side process was killed before it could
// clean up (its pid is gone): removed so they don't pile up.
void remove_stale_cgroups(const char* hierarchy) {
  DIR* d = opendir(hierarchy);
  if (d == nullptr) return;
  std::vector<std::string> stale;
  while (struct dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    if (name.rfind("kiv-test-", 0) != 0) continue;
    const pid_t owner = static_cast<pid_t>(atoi(name.c_str() + 9));
    if (owner > 0 && kill(owner, 0) != 0 && errno == ESRCH) stale.push_back(std::string(hierarchy) + "/" + name);
  }
  closedir(d);
  for (const auto& dir : stale) remove_cgroup_tree(dir);
}

int remove_entry(const char* path, const struct stat*, int, struct FTW* ftw) {
  if (ftw->level == 0) return 0;
  (void)remove(path);
  return 0;
}

void detach_mounts_under(const char* prefix) {
  std::ifstream in("/proc/self/mountinfo");
  std::vector<std::string> targets;
  std::string line;
  const size_t n = strlen(prefix);
  while (std::getline(in, line)) {
    std::istringstream ls(line);
    std::string id, parent, devno, root, target;
    ls >> id >> parent >> devno >> root >> target;
    if (target.compare(0, n, prefix) == 0 && (target.size() == n || target[n] == '/'))
      targets.push_back(target);
  }
  for (auto it = targets.rbegin(); it != targets.rend(); ++it) (void)umount2(it->c_str(), MNT_DETACH);
}

// pid 1 of the sandbox: reaps every orphan and ends the sandbox, and with
// it every process inside, once the test run has ended.
[[noreturn]] void reap_until(pid_t runner) {
  for (;;) {
    int status = 0;
    pid_t p = waitpid(-1, &status, 0);
    if (p == runner) {
      fflush(nullptr);
      _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
    }
    if (p < 0 && errno == ECHILD) _exit(121);
  }
}

void build_root(const std::string& cg_mem, const std::string& cg_cpu) {
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) die("make / private");
  // Keep the build and source trees reachable: a tmpfs over /tmp below
  // would hide them if they live there, and the overlay shows only the root
  // file system, not the mounts on it.
  int build_fd = open(KIV_BUILD_DIR, O_PATH | O_DIRECTORY | O_CLOEXEC);
  int source_fd = open(KIV_SOURCE_DIR, O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (build_fd < 0 || source_fd < 0) die("open the build and source trees");

  must_mount("tmpfs", "/tmp", "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755");
  const std::string scratch = kScratch, upper = scratch + "/upper", work = scratch + "/work",
                    root = scratch + "/root";
  mkdir_p(upper);
  mkdir_p(work);
  mkdir_p(root);
  const std::string opts = "lowerdir=/,upperdir=" + upper + ",workdir=" + work;
  must_mount("overlay", root, "overlay", 0, opts.c_str());
  must_mount("proc", root + "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr);
  must_mount("/sys", root + "/sys", nullptr, MS_BIND | MS_REC, nullptr);
  must_mount("/dev", root + "/dev", nullptr, MS_BIND | MS_REC, nullptr);
  must_mount("tmpfs", root + "/dev/shm", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777");
  must_mount("tmpfs", root + "/tmp", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777");

  const std::string build_src = "/proc/self/fd/" + std::to_string(build_fd);
  const std::string source_src = "/proc/self/fd/" + std::to_string(source_fd);
  mkdir_p(root + KIV_SOURCE_DIR);
  must_mount(source_src.c_str(), root + KIV_SOURCE_DIR, nullptr, MS_BIND | MS_REC, nullptr);
  mkdir_p(root + KIV_BUILD_DIR);
  must_mount(build_src.c_str(), root + KIV_BUILD_DIR, nullptr, MS_BIND | MS_REC, nullptr);
  close(build_fd);
  close(source_fd);

  mkdir_p(root + "/memory");
  mkdir_p(root + "/cpu");
  if (!cg_mem.empty() && !cg_cpu.empty()) {
    must_mount(cg_mem.c_str(), root + "/memory", nullptr, MS_BIND, nullptr);
    must_mount(cg_cpu.c_str(), root + "/cpu", nullptr, MS_BIND, nullptr);
  }
  if (chroot(root.c_str()) != 0) die("chroot");
  if (chdir("/") != 0) die("chdir /");
}

}  // namespace

const std::string& sandbox_unavailable_reason() { return g_unavailable; }
bool have_cgroups() { return g_cgroups; }
const std::string& cgroup_unavailable_reason() { return g_cgroup_unavailable; }

void make_device_tree() {
  for (const char* d : kDeviceDirs) (void)mkdir(d, 0755);
}

void reset_device_tree() {
  for (const char* r : kDeviceRoots) {
    detach_mounts_under(r);
    struct stat st;
    if (lstat(r, &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      nftw(r, remove_entry, 32, FTW_DEPTH | FTW_PHYS);
      (void)rmdir(r);
    } else {
      (void)unlink(r);
    }
  }
  make_device_tree();
}

void enter_sandbox() {
  if (getenv("KIV_IN_SANDBOX") != nullptr) {
    g_unavailable.clear();
    return;
  }
  if (geteuid() != 0) {
    g_unavailable = "the sandbox needs root (running as uid " + std::to_string(geteuid()) + ")";
    return;
  }
  std::string cg_mem, cg_cpu;
  const std::string run = "kiv-test-" + std::to_string(getpid());
  if (is_cgroup_v1("/sys/fs/cgroup/memory") && is_cgroup_v1("/sys/fs/cgroup/cpu")) {
    remove_stale_cgroups("/sys/fs/cgroup/memory");
    remove_stale_cgroups("/sys/fs/cgroup/cpu");
    cg_mem = "/sys/fs/cgroup/memory/" + run;
    cg_cpu = "/sys/fs/cgroup/cpu/" + run;
    if (mkdir(cg_mem.c_str(), 0755) != 0 || mkdir(cg_cpu.c_str(), 0755) != 0) {
      g_cgroup_unavailable = "cannot create a cgroup v1 group for this run: " +
                             std::string(strerror(errno));
      (void)rmdir(cg_mem.c_str());
      cg_mem.clear();
      cg_cpu.clear();
    }
  } else {
    g_cgroup_unavailable = "the host has no cgroup v1 memory and cpu hierarchies";
  }

  fflush(nullptr);
  // unshare() then fork(), not clone() with namespace flags, which qemu-user
  // refuses (cross-built tests run under it). This process joins the new
  // mount, ipc, net and uts namespaces too, harmlessly: it only waits and
  // removes the cgroups, which stay visible; the child is pid 1 of the new
  // pid namespace.
  const pid_t child = unshare(CLONE_NEWNS | CLONE_NEWPID | CLONE_NEWIPC | CLONE_NEWNET | CLONE_NEWUTS) == 0
                          ? fork()
                          : -1;
  if (child < 0) {
    g_unavailable = "cannot create namespaces: " + std::string(strerror(errno));
    if (!cg_mem.empty()) {
      remove_cgroup_tree(cg_mem);
      remove_cgroup_tree(cg_cpu);
    }
    return;
  }
  if (child == 0) {
    (void)prctl(PR_SET_PDEATHSIG, SIGKILL);
    (void)setsid();
    build_root(cg_mem, cg_cpu);
    (void)sethostname("kiv-sandbox", 11);
    make_device_tree();
    setenv("KIV_IN_SANDBOX", "1", 1);
    if (!cg_mem.empty()) setenv("KIV_SANDBOX_CGROUPS", "1", 1);
    pid_t runner = fork();
    if (runner < 0) die("fork the test runner");
    if (runner > 0) reap_until(runner);
    g_unavailable.clear();
    g_cgroups = !cg_mem.empty();
    if (g_cgroups) g_cgroup_unavailable.clear();
    return;
  }
  // The host side waits, then removes what it made on the host.
  signal(SIGINT, SIG_IGN);
  signal(SIGTERM, SIG_IGN);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (!cg_mem.empty()) {
    remove_cgroup_tree(cg_mem);
    remove_cgroup_tree(cg_cpu);
  }
  fflush(nullptr);
  _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
}

}  // namespace kiv::sandbox
