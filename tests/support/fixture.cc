// The base test fixture (see fixture.h).
#include "support/fixture.h"

#include <dirent.h>
#include <stdlib.h>
#include <unistd.h>

#include "kiv_dbg.h"
#include "sandbox/sandbox.h"

namespace kiv::test {

std::map<int, std::string> open_descriptors() {
  std::map<int, std::string> fds;
  DIR* d = opendir("/proc/self/fd");
  while (struct dirent* e = d != nullptr ? readdir(d) : nullptr) {
    char target[512] = {};
    const std::string path = std::string("/proc/self/fd/") + e->d_name;
    const ssize_t n = e->d_name[0] == '.' || atoi(e->d_name) == dirfd(d) ? -2 : readlink(path.c_str(), target, 511);
    if (n != -2) fds[atoi(e->d_name)] = n > 0 ? std::string(target, static_cast<size_t>(n)) : "?";
  }
  if (d != nullptr) closedir(d);
  return fds;
}

void SandboxTest::SetUp() {
  if (!sandbox::sandbox_unavailable_reason().empty()) GTEST_SKIP() << sandbox::sandbox_unavailable_reason();
  sandbox::reset_device_tree();
  for (int i = 0; i < KIV_DBG_LEVELS; ++i) g_kiv_dbg_level[i] = KIV_DBG_OFF;
  fds_before_ = open_descriptors();
  SetUpSandboxed();
}

void SandboxTest::TearDown() {
  if (IsSkipped() || !sandbox::sandbox_unavailable_reason().empty()) return;
  TearDownSandboxed();
  for (const auto& [fd, target] : open_descriptors()) {
    auto it = fds_before_.find(fd);
    bool kept = it != fds_before_.end() && it->second == target;
    for (const auto& prefix : kept_) kept = kept || target.compare(0, prefix.size(), prefix) == 0;
    if (!kept) ADD_FAILURE() << "descriptor " << fd << " (" << target << ") left open";
  }
}

void SandboxTest::require_cgroups() {
  if (!sandbox::have_cgroups()) GTEST_SKIP() << "no cgroup v1 in the sandbox: " << sandbox::cgroup_unavailable_reason();
}

}  // namespace kiv::test
