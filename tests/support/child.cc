// Child processes for tests (see child.h).
#include "support/child.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "base/mono_time.h"

namespace kiv::test {
namespace {

std::string contents(int fd) {
  std::string s;
  if (fd < 0) return s;
  char buf[4096];
  lseek(fd, 0, SEEK_SET);
  for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) s.append(buf, static_cast<size_t>(n));
  return s;
}

}  // namespace

bool ChildResult::exited(int code) const { return WIFEXITED(status) && WEXITSTATUS(status) == code; }
bool ChildResult::signaled(int sig) const { return WIFSIGNALED(status) && WTERMSIG(status) == sig; }

const char* fork_kind_name(ForkKind kind) {
  switch (kind) {
    case ForkKind::kFork: return "fork";
    case ForkKind::kUnderscoreFork: return "_Fork";
    case ForkKind::kClone: return "clone";
  }
  return "?";
}

Child::Child(const std::function<int()>& fn, bool capture_stderr, ForkKind kind) {
  out_ = memfd_create("kiv-child-out", MFD_CLOEXEC);
  if (capture_stderr) err_ = memfd_create("kiv-child-err", MFD_CLOEXEC);
  fflush(nullptr);
  switch (kind) {
    case ForkKind::kFork: pid_ = fork(); break;
    case ForkKind::kUnderscoreFork: pid_ = _Fork(); break;
    // Flags first on every architecture; no new stack: a fork in effect.
    case ForkKind::kClone: pid_ = static_cast<pid_t>(syscall(SYS_clone, SIGCHLD, 0, 0, 0, 0)); break;
  }
  if (pid_ == 0) {
    dup2(out_, 1);
    if (err_ >= 0) dup2(err_, 2);
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
  if (err_ >= 0) close(err_);
}

ChildResult Child::wait(int timeout_s) {
  ChildResult r;
  r.pid = pid_;
  if (pid_ <= 0) return r;
  const int64_t deadline = monotonic_ms() + timeout_s * 1000LL;
  for (pid_t got; (got = waitpid(pid_, &r.status, WNOHANG)) != pid_;) {
    if (got < 0 && errno != EINTR) break;
    if (monotonic_ms() > deadline) {
      ADD_FAILURE() << "child did not end within " << timeout_s << " s";
      kill(pid_, SIGKILL);
      while (waitpid(pid_, &r.status, 0) < 0 && errno == EINTR) {
      }
      break;
    }
    usleep(1000);
  }
  pid_ = -1;
  r.output = contents(out_);
  r.errors = contents(err_);
  return r;
}

ChildResult run_in_child(const std::function<int()>& fn, int timeout_s) {
  Child c(fn);
  return c.wait(timeout_s);
}

int exit_code(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return -1000 - WTERMSIG(status);
  return -2000;
}

pid_t ended_pid() {
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) _exit(0);
  while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
  return pid;
}

int64_t monotonic_ms() { return mono_ms(); }

}  // namespace kiv::test
