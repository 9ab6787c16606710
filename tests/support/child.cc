// Child processes and test programs (child.h, program.h).
#include "support/child.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
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
#include <utility>

#include <gtest/gtest.h>

#include "base/mono_time.h"
#include "support/files.h"
#include "support/program.h"

namespace kiv::test {
namespace {

// Whether path names an executable (ELF) file of this build: only asked under an emulator.
bool of_this_build(const std::string& path) {
  return path.rfind(KIV_BUILD_DIR "/", 0) == 0 && read_file(path).rfind("\x7f" "ELF", 0) == 0;
}

}  // namespace

bool ChildResult::exited(int code) const { return WIFEXITED(status) && WEXITSTATUS(status) == code; }
bool ChildResult::signaled(int sig) const { return WIFSIGNALED(status) && WTERMSIG(status) == sig; }

const char* fork_kind_name(ForkKind kind) {
  return kind == ForkKind::kFork ? "fork" : kind == ForkKind::kUnderscoreFork ? "_Fork" : "clone";
}

pid_t fork_running(ForkKind kind, int out, int err, const std::function<int()>& fn) {
  fflush(nullptr);
  pid_t pid = kind == ForkKind::kFork ? fork()
              : kind == ForkKind::kUnderscoreFork
                  ? _Fork()
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
  r.output = out_ >= 0 && lseek(out_, 0, SEEK_SET) == 0 ? read_fd(out_) : "";
  r.errors = err_ >= 0 && lseek(err_, 0, SEEK_SET) == 0 ? read_fd(err_) : "";
  return r;
}

ChildResult run_in_child(const std::function<int()>& fn, int timeout_s) { return Child(fn).wait(timeout_s); }

int exit_code(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return WIFSIGNALED(status) ? -1000 - WTERMSIG(status) : -2000;
}

pid_t ended_pid() {
  int status;
  const pid_t pid = fork_running(ForkKind::kFork, 1, -1, [] { return 0; });
  reap(pid, &status, -1);
  return pid;
}

int64_t monotonic_ms() { return mono_ms(); }

ProgramCommand::ProgramCommand(const std::string& path, const std::vector<std::string>& words) {
  std::vector<std::string> emulator;
  std::istringstream in(getenv("KIV_TEST_EMULATOR") != nullptr ? getenv("KIV_TEST_EMULATOR") : "");
  for (std::string w; in >> w;) emulator.push_back(w);
  // words_: the file to execute, then its argv.
  if (emulator.empty() || !of_this_build(path)) {
    words_ = {path};
    words_.insert(words_.end(), words.begin(), words.end());
    // A system program that runs one of this build's (timeout 5 PROGRAM):
    // the emulator goes in front of that word.
    for (size_t i = 2; !emulator.empty() && i < words_.size(); ++i) {
      if (of_this_build(words_[i])) {
        words_.insert(words_.begin() + static_cast<ptrdiff_t>(i), emulator.begin(), emulator.end());
        break;
      }
    }
  } else {
    words_ = {emulator[0]};
    words_.insert(words_.end(), emulator.begin(), emulator.end());
    // qemu-user's -0 sets the emulated program's argv[0].
    words_.insert(words_.end(), {"-0", words.empty() ? path : words[0], path});
    if (!words.empty()) words_.insert(words_.end(), words.begin() + 1, words.end());
  }
  for (size_t i = 1; i < words_.size(); ++i) argv_.push_back(words_[i].data());
  argv_.push_back(nullptr);
}

void ProgramCommand::exec() { execvp(words_[0].c_str(), argv_.data()); }

TestProgram::TestProgram(const std::string& name, const std::vector<std::string>& args,
                         const ProgramOptions& opt) {
  const std::string path = std::string(KIV_TEST_BIN_DIR) + "/" + name;
  std::vector<std::string> words = {opt.argv0.empty() ? path : opt.argv0};
  words.insert(words.end(), args.begin(), args.end());
  ProgramCommand command(path, words);
  int fds[2], ready[2] = {-1, -1};
  if (pipe2(fds, O_CLOEXEC) != 0 || (opt.wait_ready && pipe2(ready, O_CLOEXEC) != 0)) {
    ADD_FAILURE() << "pipe";
    return;
  }
  pid_ = fork_running(ForkKind::kFork, fds[1], -1, [&] {
    if (ready[1] >= 0 && (dup2(ready[1], 3) < 0 || fcntl(3, F_SETFD, 0) != 0)) return 126;
    if (opt.groups && setgroups(opt.groups->size(), opt.groups->data()) != 0) return 126;
    if (opt.uid >= 0 && (setgroups(0, nullptr) != 0 || setgid(opt.uid) != 0 || setuid(opt.uid) != 0)) return 126;
    const std::string me = std::to_string(getpid());
    for (const auto& tasks : opt.cgroup_tasks) {
      const int fd = open(tasks.c_str(), O_WRONLY | O_CLOEXEC);
      if (fd < 0 || write(fd, me.data(), me.size()) != static_cast<ssize_t>(me.size())) return 126;
      close(fd);
    }
    command.exec();
    return 127;
  });
  close(fds[1]);
  out_ = fds[0];
  if (ready[0] < 0) return;
  close(ready[1]);
  struct pollfd p = {ready[0], POLLIN, 0};
  char c;
  if (pid_ < 0 || poll(&p, 1, 10000) != 1 || read(ready[0], &c, 1) != 1) ADD_FAILURE() << name << " did not start";
  close(ready[0]);
}

TestProgram::~TestProgram() {
  kill(SIGKILL);
  (void)wait();
  if (out_ >= 0) close(out_);
}

std::optional<std::string> TestProgram::read_line(int timeout_ms) {
  const int64_t deadline = monotonic_ms() + timeout_ms;
  for (size_t nl; (nl = pending_.find('\n')) == std::string::npos;) {
    struct pollfd p = {out_, POLLIN, 0};
    const int64_t left = deadline - monotonic_ms();
    const int n = out_ < 0 || left <= 0 ? 0 : poll(&p, 1, static_cast<int>(left));
    char buf[512];
    const ssize_t got = n > 0 ? read(out_, buf, sizeof buf) : n;
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return std::nullopt;
    pending_.append(buf, static_cast<size_t>(got));
  }
  const size_t nl = pending_.find('\n');
  std::string line = pending_.substr(0, nl);
  pending_.erase(0, nl + 1);
  return line;
}

std::string TestProgram::read_all(int timeout_ms) {
  std::string all;
  while (auto line = read_line(timeout_ms)) all += *line + "\n";
  return all + std::exchange(pending_, "");
}

void TestProgram::kill(int sig) {
  if (pid_ > 0) ::kill(pid_, sig);
}

int TestProgram::wait(int timeout_ms) {
  if (pid_ <= 0) return status_;
  if (!reap(pid_, &status_, timeout_ms)) return -1;
  pid_ = -1;
  return status_;
}

}  // namespace kiv::test
