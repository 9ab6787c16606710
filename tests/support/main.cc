// main() of every test binary: pick the suites to run, enter the sandbox,
// then run the tests.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "sandbox/sandbox.h"

namespace {

// "A:B" -> the gtest patterns of suites A and B, parameterized ones included.
std::string suite_patterns(const std::string& suites) {
  std::string out;
  size_t from = 0;
  while (from <= suites.size()) {
    size_t to = suites.find(':', from);
    if (to == std::string::npos) to = suites.size();
    const std::string suite = suites.substr(from, to - from);
    if (!suite.empty()) out += (out.empty() ? "" : ":") + suite + ".*:*/" + suite + ".*";
    from = to + 1;
  }
  return out;
}

// ctest runs the long-waiting suites of a binary as entries of their own:
// KIV_TEST_SUITES names the only suites to run, KIV_TEST_SKIP_SUITES those
// to leave out. Both narrow the filter that GTEST_FILTER or --gtest_filter
// gave, whose exclusions keep holding (the cross build's skip list).
void narrow_filter() {
  const char* only = getenv("KIV_TEST_SUITES");
  const char* skip = getenv("KIV_TEST_SKIP_SUITES");
  if (only == nullptr && skip == nullptr) return;
  const std::string filter = GTEST_FLAG_GET(filter);
  const size_t dash = filter.find('-');
  std::string positive = filter.substr(0, dash);
  std::string negative = dash == std::string::npos ? "" : filter.substr(dash + 1);
  if (only != nullptr) positive = suite_patterns(only);
  if (skip != nullptr && *skip != '\0') negative += (negative.empty() ? "" : ":") + suite_patterns(skip);
  GTEST_FLAG_SET(filter, (positive.empty() ? "*" : positive) + (negative.empty() ? "" : "-" + negative));
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  narrow_filter();
  kiv::sandbox::enter_sandbox();
  if (!kiv::sandbox::sandbox_unavailable_reason().empty()) {
    fprintf(stderr, "tests that need the sandbox are skipped: %s\n",
            kiv::sandbox::sandbox_unavailable_reason().c_str());
  }
  return RUN_ALL_TESTS();
}
