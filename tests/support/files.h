// Small file helpers for tests (implemented in files.cc).
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace kiv::test {

// Everything left to read on fd.
std::string read_fd(int fd);
// Reads a whole file; empty when it can't be read.
std::string read_file(const std::string& path);
// Creates or truncates path with text and mode; a failure fails the test.
void write_file(const std::string& path, const std::string& text = "", mode_t mode = 0644);

// Removes path and everything under it (not following symbolic links).
void remove_tree(const std::string& path);

// Polls for path to exist, up to timeout_ms. Returns whether it does.
bool wait_for_file(const std::string& path, int timeout_ms);

// Whether path exists (a dangling link counts).
bool exists(const std::string& path);
// Permission bits of path, or -1.
int mode_of(const std::string& path);
// Inode of path's target (a namespace file or /proc/PID/ns/net), or 0.
unsigned long long inode_of(const std::string& path);
// Names in a directory, without "." and "..".
std::vector<std::string> list_dir(const std::string& path);

// The pid holding a write lock on path as another process sees it (F_GETLK):
// 0 when unlocked, -1 when it can't be asked. Asked from a child, since
// closing any descriptor of ours on the file would drop our own locks.
pid_t lock_holder(const std::string& path);

}  // namespace kiv::test
