// Comparing log output byte for byte without depending on source lines.
#pragma once

#include <string>

namespace kiv::test {

// out with the source line of every "[KIV:module:LINE]" tag and of every
// "[KIV]<file, step, LINE>:" prefix replaced by N.
std::string without_line_numbers(const std::string& out);

// How often what occurs in text (not overlapping).
int count_of(const std::string& text, const std::string& what);

}  // namespace kiv::test
