// The base test fixture (see fixture.h) and main() of every test binary: pick the tests, enter the
// sandbox, run them.
#include "support/fixture.h"

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "kiv_dbg.h"
#include "sandbox/sandbox.h"

namespace kiv::test {

std::map<int, std::string> open_descriptors() {
  std::map<int, std::string> fds;
  for (const std::string& name : list_dir("/proc/self/fd")) {
    char target[512] = {};  // the listing's own descriptor is closed by now: unreadable, left out
    if (readlink(("/proc/self/fd/" + name).c_str(), target, sizeof target - 1) > 0) fds[atoi(name.c_str())] = target;
  }
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

// ctest runs slow suites as entries of their own: KIV_TEST_ONLY holds the patterns of the only tests to
// run, KIV_TEST_SKIP those to leave out; the exclusions of --gtest_filter or GTEST_FILTER keep holding.
int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  const std::string filter = GTEST_FLAG_GET(filter), skip = getenv("KIV_TEST_SKIP") ? getenv("KIV_TEST_SKIP") : "";
  const size_t dash = filter.find('-');
  const std::string positive = getenv("KIV_TEST_ONLY") ? getenv("KIV_TEST_ONLY") : filter.substr(0, dash);
  std::string negative = dash == std::string::npos ? "" : filter.substr(dash + 1);
  negative += (negative.empty() || skip.empty() ? "" : ":") + skip;
  GTEST_FLAG_SET(filter, (positive.empty() ? "*" : positive) + (negative.empty() ? "" : "-" + negative));
  kiv::sandbox::enter_sandbox();
  if (!kiv::sandbox::sandbox_unavailable_reason().empty())
    fprintf(stderr, "tests that need the sandbox are skipped: %s\n",
            kiv::sandbox::sandbox_unavailable_reason().c_str());
  return RUN_ALL_TESTS();
}
