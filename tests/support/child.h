// Running code in a forked child process: for calls that change or end the
// calling process (namespaces, groups, exit) or that must run concurrently
// with other slow calls.
#pragma once

#include <stdint.h>
#include <sys/types.h>

#include <functional>
#include <string>

namespace kiv::test {

struct ChildResult {
  int status = -1;     // raw waitpid status
  std::string output;  // what the child wrote to stdout
  bool exited(int code) const;
  bool signaled(int sig) const;
};

// Starts fn in a child whose stdout goes to a memory file; the child ends
// with fn's return value. wait() collects it; the destructor kills a child
// that was not waited for.
class Child {
 public:
  explicit Child(const std::function<int()>& fn);
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }
  ChildResult wait();

 private:
  pid_t pid_ = -1;
  int out_ = -1;
};

// Runs fn in a child and waits for it.
ChildResult run_in_child(const std::function<int()>& fn);

// Milliseconds of the monotonic clock.
int64_t monotonic_ms();

}  // namespace kiv::test
