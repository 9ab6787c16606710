// Child processes and test programs (child.h).
#include "support/child.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>

#include "base/mono_time.h"
#include "support/files.h"

namespace kiv::test {

bool ChildResult::exited(int code) const { return WIFEXITED(status) && WEXITSTATUS(status) == code; }
bool ChildResult::signaled(int sig) const { return WIFSIGNALED(status) && WTERMSIG(status) == sig; }

const char* fork_kind_name(ForkKind kind) {
  return kind == ForkKind::kFork ? "fork" : kind == ForkKind::kUnderscoreFork ? "_Fork" : "clone";
}

pid_t fork_running(ForkKind kind, int out, int err, const std::function<int()>& fn) {
  fflush(nullptr);
  pid_t pid = kind == ForkKind::kFork             ? fork()
              : kind == ForkKind::kUnderscoreFork ? _Fork()
                                                  // Flags first on every architecture; no new stack: a fork in effect.
                                                  : static_cast<pid_t>(syscall(SYS_clone, SIGCHLD, 0, 0, 0, 0));
  if (pid == 0) {
    dup2(out, 1);  // dup2 clears close-on-exec on the copy
    if (err >= 0) dup2(err, 2);
    const int rc = fn();
    fflush(nullptr);
    _exit(rc);
  }
  return pid;
}

bool reap(pid_t pid, int* status, int timeout_ms) {
  const int64_t deadline = monotonic_ms() + timeout_ms;
  for (pid_t got; (got = waitpid(pid, status, timeout_ms < 0 ? 0 : WNOHANG)) != pid; usleep(1000)) {
    if (got < 0 && errno != EINTR) return true;
    if (timeout_ms >= 0 && monotonic_ms() >= deadline) return false;
  }
  return true;
}

Child::Child(const std::function<int()>& fn, bool capture_stderr, ForkKind kind) {
  out_ = memfd_create("kiv-child-out", MFD_CLOEXEC);
  if (capture_stderr) err_ = memfd_create("kiv-child-err", MFD_CLOEXEC);
  pid_ = fork_running(kind, out_, err_, fn);
}

Child::~Child() {
  if (pid_ > 0 && kill(pid_, SIGKILL) == 0) (void)wait();
  if (out_ >= 0) close(out_);
  if (err_ >= 0) close(err_);
}

ChildResult Child::wait(int timeout_s) {
  ChildResult r;
  r.pid = pid_;
  if (pid_ <= 0) return r;
  if (!reap(pid_, &r.status, timeout_s * 1000)) {
    ADD_FAILURE() << "child did not end within " << timeout_s << " s";
    kill(pid_, SIGKILL);
    reap(pid_, &r.status, -1);
  }
  pid_ = -1;
  r.output = read_file("/proc/self/fd/" + std::to_string(out_));
  r.errors = err_ >= 0 ? read_file("/proc/self/fd/" + std::to_string(err_)) : "";
  return r;
}

ChildResult run_in_child(const std::function<int()>& fn, int timeout_s) { return Child(fn).wait(timeout_s); }

int exit_code(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return WIFSIGNALED(status) ? -1000 - WTERMSIG(status) : -2000;
}

pid_t ended_pid() {
  return run_in_child([] { return 0; }).pid;
}

int64_t monotonic_ms() { return mono_ms(); }

ProgramCommand::ProgramCommand(const std::string& path, const std::vector<std::string>& words) {
  // words_: the file to execute, then its argv.
  std::istringstream in(getenv("KIV_TEST_EMULATOR") != nullptr ? getenv("KIV_TEST_EMULATOR") : "");
  for (std::string w; in >> w;) words_.push_back(w);
  if (words_.empty() || path.rfind(KIV_BUILD_DIR "/", 0) != 0) {
    words_ = {path};
    words_.insert(words_.end(), words.begin(), words.end());
  } else {
    words_.insert(words_.begin(), std::string(words_[0]));
    // qemu-user's -0 sets the emulated program's argv[0].
    words_.insert(words_.end(), {"-0", words[0], path});
    words_.insert(words_.end(), words.begin() + 1, words.end());
  }
  for (size_t i = 1; i < words_.size(); ++i) argv_.push_back(words_[i].data());
  argv_.push_back(nullptr);
}

void ProgramCommand::exec() { execvp(words_[0].c_str(), argv_.data()); }

TestProgram::TestProgram(const std::string& name, const std::vector<std::string>& args, const ProgramOptions& opt) {
  const std::string path = std::string(KIV_TEST_BIN_DIR) + "/" + name;
  std::vector<std::string> words = {opt.argv0.empty() ? path : opt.argv0};
  words.insert(words.end(), args.begin(), args.end());
  ProgramCommand command(path, words);
  int ready[2] = {-1, -1};
  if (opt.wait_ready && pipe2(ready, O_CLOEXEC) != 0) ADD_FAILURE() << "pipe";
  out_ = memfd_create("kiv-program-out", MFD_CLOEXEC);
  pid_ = fork_running(ForkKind::kFork, out_, -1, [&] {
    if (ready[1] >= 0 && (dup2(ready[1], 3) < 0 || fcntl(3, F_SETFD, 0) != 0)) return 126;
    if (opt.groups && setgroups(opt.groups->size(), opt.groups->data()) != 0) return 126;
    if (opt.uid >= 0 && (setgroups(0, nullptr) != 0 || setgid(opt.uid) != 0 || setuid(opt.uid) != 0)) return 126;
    command.exec();
    return 127;
  });
  if (ready[0] < 0) return;
  close(ready[1]);
  struct pollfd p = {ready[0], POLLIN, 0};
  char c;
  if (pid_ < 0 || poll(&p, 1, 10000) != 1 || read(ready[0], &c, 1) != 1) ADD_FAILURE() << name << " did not start";
  close(ready[0]);
}

TestProgram::~TestProgram() {
  if (pid_ > 0) kill(pid_, SIGKILL);
  (void)wait();
  if (out_ >= 0) close(out_);
}

std::string TestProgram::read_all(int timeout_ms) {
  (void)wait(timeout_ms);
  return read_file("/proc/self/fd/" + std::to_string(out_));
}

int TestProgram::wait(int timeout_ms) {
  if (pid_ <= 0) return status_;
  if (!reap(pid_, &status_, timeout_ms)) return -1;
  pid_ = -1;
  return status_;
}

}  // namespace kiv::test
