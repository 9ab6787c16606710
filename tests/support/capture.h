// Capturing what code under test prints on standard output (files.cc).
#pragma once

#include <functional>
#include <string>

namespace kiv::test {

// Runs fn with stdout (the stream and descriptor 1) going to a memory file,
// and returns what was written.
std::string capture_stdout(const std::function<void()>& fn);

}  // namespace kiv::test
