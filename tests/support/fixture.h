// Base of every test: skips without the sandbox, starts from a fresh device tree
// with the debug levels off, and fails a test that leaks a descriptor. Brings
// the helpers every test uses.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "kiv_dbg.h"
#include "support/child.h"
#include "support/files.h"

namespace kiv::test {

class SandboxTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // A fixture's own set-up and clean-up, run only inside the sandbox (nothing on the host is touched).
  virtual void SetUpSandboxed() {}
  virtual void TearDownSandboxed() {}

  // New descriptors whose target begins with prefix (a path, "socket:") are kept, not leaks.
  void keep_descriptors_matching(std::string prefix) { kept_.push_back(std::move(prefix)); }

  void require_cgroups();

 private:
  std::map<int, std::string> fds_before_;
  std::vector<std::string> kept_;
};

// fd -> readlink target of each descriptor of this process.
std::map<int, std::string> open_descriptors();

}  // namespace kiv::test
