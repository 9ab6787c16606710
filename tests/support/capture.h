// Capturing what code under test prints on standard output (files.cc).
#pragma once

#include <functional>
#include <string>

namespace kiv::test {

// fn's writes to stdout (the stream and descriptor 1), through a memory file.
std::string capture_stdout(const std::function<void()>& fn);

}  // namespace kiv::test
