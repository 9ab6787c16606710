// How often the library has called strerror(): this test binary defines
// strerror itself, which the library's calls then reach, and counts them.
#pragma once

namespace kiv::test {

int strerror_calls();

}  // namespace kiv::test
