// The base of every test: skips when the sandbox is missing, starts each
// test from a fresh device tree with the debug levels off, and fails a test
// that leaves a descriptor open which it did not declare as kept.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace kiv::test {

class SandboxTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // New descriptors whose /proc/self/fd target begins with prefix (a path,
  // or "socket:") are the library's to keep: not counted as leaks.
  void keep_descriptors_matching(std::string prefix) { kept_.push_back(std::move(prefix)); }

  // Skips the test unless the sandbox has cgroup v1 /memory and /cpu.
  void require_cgroups();

 private:
  std::map<int, std::string> fds_before_;
  std::vector<std::string> kept_;
};

// fd -> readlink target of every open descriptor of this process.
std::map<int, std::string> open_descriptors();

}  // namespace kiv::test
