// Comparing captured log lines byte for byte, apart from the source line
// number in their tags.
#pragma once

#include <string>

namespace kiv::test {

// out with every tag "[KIV:module:123]" written as "[KIV:module:#]".
std::string without_line_numbers(const std::string& out);

}  // namespace kiv::test
