// Child processes for tests (see child.h).
#include "support/child.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace kiv::test {

bool ChildResult::exited(int code) const { return WIFEXITED(status) && WEXITSTATUS(status) == code; }
bool ChildResult::signaled(int sig) const { return WIFSIGNALED(status) && WTERMSIG(status) == sig; }

Child::Child(const std::function<int()>& fn) {
  out_ = memfd_create("kiv-child-out", MFD_CLOEXEC);
  fflush(nullptr);
  pid_ = fork();
  if (pid_ == 0) {
    dup2(out_, 1);
    int rc = fn();
    fflush(nullptr);
    _exit(rc);
  }
}

Child::~Child() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    (void)wait();
  }
  if (out_ >= 0) close(out_);
}

ChildResult Child::wait() {
  ChildResult r;
  if (pid_ <= 0) return r;
  while (waitpid(pid_, &r.status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  char buf[4096];
  lseek(out_, 0, SEEK_SET);
  for (ssize_t n; (n = read(out_, buf, sizeof buf)) > 0;) r.output.append(buf, static_cast<size_t>(n));
  return r;
}

ChildResult run_in_child(const std::function<int()>& fn) {
  Child c(fn);
  return c.wait();
}

int64_t monotonic_ms() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace kiv::test
