// main() of every test binary: enter the sandbox, then run the tests.
#include <gtest/gtest.h>
#include <stdio.h>

#include "sandbox/sandbox.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  kiv::sandbox::enter_sandbox();
  if (!kiv::sandbox::sandbox_unavailable_reason().empty()) {
    fprintf(stderr, "tests that need the sandbox are skipped: %s\n",
            kiv::sandbox::sandbox_unavailable_reason().c_str());
  }
  return RUN_ALL_TESTS();
}
