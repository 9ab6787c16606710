// main() of every test binary: pick the suites, enter the sandbox, run the tests.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>

#include <sstream>
#include <string>

#include "sandbox/sandbox.h"

namespace {

// ctest runs slow suites as entries of their own: KIV_TEST_SUITES names the only suites to run,
// KIV_TEST_SKIP_SUITES those to leave out ("A:B"); exclusions of --gtest_filter keep holding.
void narrow_filter() {
  const char* only = getenv("KIV_TEST_SUITES");
  const char* skip = getenv("KIV_TEST_SKIP_SUITES");
  const auto patterns = [](const char* suites) {
    std::string out, suite;
    // Parameterized suites run as PREFIX/SUITE.
    for (std::istringstream in(suites); std::getline(in, suite, ':');)
      if (!suite.empty()) out += (out.empty() ? "" : ":") + suite + ".*:*/" + suite + ".*";
    return out;
  };
  const std::string filter = GTEST_FLAG_GET(filter);
  const size_t dash = filter.find('-');
  std::string positive = only != nullptr ? patterns(only) : filter.substr(0, dash);
  std::string negative = dash == std::string::npos ? "" : filter.substr(dash + 1);
  if (skip != nullptr && *skip != '\0') negative += (negative.empty() ? "" : ":") + patterns(skip);
  GTEST_FLAG_SET(filter, (positive.empty() ? "*" : positive) + (negative.empty() ? "" : "-" + negative));
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  narrow_filter();
  kiv::sandbox::enter_sandbox();
  if (!kiv::sandbox::sandbox_unavailable_reason().empty())
    fprintf(stderr, "tests that need the sandbox are skipped: %s\n", kiv::sandbox::sandbox_unavailable_reason().c_str());
  return RUN_ALL_TESTS();
}
