// Log output compared byte for byte without depending on source lines (files.cc).
#pragma once

#include <string>

namespace kiv::test {

// out with the line of every "[KIV:module:LINE]" and "[KIV]<file, step, LINE>:" made N.
std::string without_line_numbers(const std::string& out);
int count_of(const std::string& text, const std::string& what);  // not overlapping

}  // namespace kiv::test
