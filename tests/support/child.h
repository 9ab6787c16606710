// Child processes for tests: code run in a forked child (calls that change
// or end the calling process, or must run beside slow ones), wait statuses
// and the monotonic clock. TestProgram (program.h) runs on the same fork.
#pragma once

#include <stdint.h>
#include <sys/types.h>

#include <functional>
#include <string>

namespace kiv::test {

struct ChildResult {
  pid_t pid = -1;
  int status = -1;     // raw waitpid status
  std::string output;  // what the child wrote to stdout
  std::string errors;  // what it wrote to stderr, when that was captured
  bool exited(int code) const;
  bool signaled(int sig) const;
};

// fork() runs the pthread_atfork handlers; _Fork() and a bare clone() none.
enum class ForkKind { kFork, kUnderscoreFork, kClone };
const char* fork_kind_name(ForkKind kind);

// The one fork of the support code: fn runs in a child with stdout on out
// (and stderr on err when err >= 0); the child ends with fn's result.
pid_t fork_running(ForkKind kind, int out, int err, const std::function<int()>& fn);
// Reaps pid into *status; false while it still runs after timeout_ms
// (negative: as long as it takes).
bool reap(pid_t pid, int* status, int timeout_ms);

// fn in a child whose stdout (and stderr, if asked) goes to a memory file.
// The destructor kills a child that was not waited for.
class Child {
 public:
  explicit Child(const std::function<int()>& fn, bool capture_stderr = false, ForkKind kind = ForkKind::kFork);
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  pid_t pid() const { return pid_; }
  // Waits at most timeout_s seconds; then kills the child and fails the test.
  ChildResult wait(int timeout_s = 60);

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  int err_ = -1;
};

ChildResult run_in_child(const std::function<int()>& fn, int timeout_s = 60);

// Exit code of a wait status; -1000 - signal when it was killed.
int exit_code(int status);
inline int exit_code(const ChildResult& r) { return exit_code(r.status); }

// The pid of a child that has already ended and been reaped.
pid_t ended_pid();

int64_t monotonic_ms();

}  // namespace kiv::test
