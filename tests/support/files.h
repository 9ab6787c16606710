// Small file helpers for tests.
#pragma once

#include <string>

namespace kiv::test {

// Reads a whole file; empty when it can't be read.
std::string read_file(const std::string& path);

// Removes path and everything under it (not following symbolic links).
void remove_tree(const std::string& path);

// Polls for path to exist, up to timeout_ms. Returns whether it does.
bool wait_for_file(const std::string& path, int timeout_ms);

}  // namespace kiv::test
