// Real child processes for tests: a function run in a forked child, and a
// test program started with a chosen argument vector that stays alive
// until the test ends it.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace kiv::test {

// Runs fn in a forked child that exits with fn's result (never returning
// into the test). Returns the child's wait status.
int run_in_child(const std::function<int()>& fn);

// Exit code of a wait status; -1000 - signal when it was killed.
int exit_code(int status);

// A test program started with execv(path, argv), alive from construction
// (it has run past exec) until destruction, which kills and reaps it. The
// program signals that it runs by writing one byte to descriptor 3.
class LiveProcess {
 public:
  LiveProcess(const std::string& path, const std::vector<std::string>& argv);
  ~LiveProcess();
  LiveProcess(const LiveProcess&) = delete;
  LiveProcess& operator=(const LiveProcess&) = delete;

  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
};

// Reads a whole file; empty when it can't be read.
std::string read_file(const std::string& path);

// Removes path and everything under it (not following symbolic links).
void remove_tree(const std::string& path);

// Polls for path to exist, up to timeout_ms. Returns whether it does.
bool wait_for_file(const std::string& path, int timeout_ms);

}  // namespace kiv::test
