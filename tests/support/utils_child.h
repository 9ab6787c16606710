// Real child processes for tests: a function run in a forked child, and a
// test program started with a chosen argument vector that stays alive
// until the test ends it.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "support/child.h"
#include "support/files.h"

namespace kiv::test {

// Exit code of a wait status; -1000 - signal when it was killed.
int exit_code(int status);
inline int exit_code(const ChildResult& r) { return exit_code(r.status); }

// Runs fn in a forked child (see child.h) and returns its wait status.
inline int run_status(const std::function<int()>& fn) { return run_in_child(fn).status; }

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

}  // namespace kiv::test
