// Running test programs as child processes (see program.h).
#include "support/program.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>

#include <gtest/gtest.h>

#include "support/child.h"

namespace kiv::test {
namespace {

// Prepares the child as opt says; false when a step failed.
bool prepare(const ProgramOptions& opt) {
  if (opt.groups && setgroups(opt.groups->size(), opt.groups->data()) != 0) return false;
  if (opt.uid >= 0 && (setgroups(0, nullptr) != 0 || setgid(opt.uid) != 0 || setuid(opt.uid) != 0)) return false;
  const std::string me = std::to_string(getpid());
  for (const auto& tasks : opt.cgroup_tasks) {
    int fd = open(tasks.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0 || write(fd, me.data(), me.size()) != static_cast<ssize_t>(me.size())) return false;
    close(fd);
  }
  return true;
}

// Whether path names an executable (ELF) file of this build.
bool of_this_build(const std::string& path) {
  if (path.rfind(KIV_BUILD_DIR "/", 0) != 0) return false;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  char magic[4] = {};
  const bool elf = fd >= 0 && read(fd, magic, 4) == 4 && memcmp(magic, "\x7f" "ELF", 4) == 0;
  if (fd >= 0) close(fd);
  return elf;
}

}  // namespace

ProgramCommand::ProgramCommand(const std::string& path, const std::vector<std::string>& words) {
  std::vector<std::string> emulator;
  if (const char* env = getenv("KIV_TEST_EMULATOR")) {
    std::istringstream in(env);
    for (std::string w; in >> w;) emulator.push_back(w);
  }
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
  std::string path = std::string(KIV_TEST_BIN_DIR) + "/" + name;
  std::vector<std::string> words = {opt.argv0.empty() ? path : opt.argv0};
  words.insert(words.end(), args.begin(), args.end());
  ProgramCommand command(path, words);
  int fds[2], ready[2] = {-1, -1};
  if (pipe2(fds, O_CLOEXEC) != 0 || (opt.wait_ready && pipe2(ready, O_CLOEXEC) != 0)) {
    ADD_FAILURE() << "pipe";
    return;
  }
  fflush(nullptr);
  pid_ = fork();
  if (pid_ == 0) {
    dup2(fds[1], 1);  // dup2 clears close-on-exec on the copy
    if (ready[1] >= 0) {
      dup2(ready[1], 3);
      fcntl(3, F_SETFD, 0);  // also when the pipe already was descriptor 3
    }
    if (!prepare(opt)) _exit(126);
    command.exec();
    _exit(127);
  }
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
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    wait();
  }
  if (out_ >= 0) close(out_);
}

std::optional<std::string> TestProgram::read_line(int timeout_ms) {
  const int64_t deadline = monotonic_ms() + timeout_ms;
  for (;;) {
    size_t nl = pending_.find('\n');
    if (nl != std::string::npos) {
      std::string line = pending_.substr(0, nl);
      pending_.erase(0, nl + 1);
      return line;
    }
    const int64_t left = deadline - monotonic_ms();
    if (out_ < 0 || left <= 0) return std::nullopt;
    struct pollfd p = {out_, POLLIN, 0};
    int n = poll(&p, 1, static_cast<int>(left));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return std::nullopt;
    char buf[512];
    ssize_t got = read(out_, buf, sizeof buf);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return std::nullopt;
    pending_.append(buf, static_cast<size_t>(got));
  }
}

std::string TestProgram::read_all(int timeout_ms) {
  std::string all;
  while (auto line = read_line(timeout_ms)) all += *line + "\n";
  all += pending_;
  pending_.clear();
  return all;
}

void TestProgram::kill(int sig) {
  if (pid_ > 0) ::kill(pid_, sig);
}

int TestProgram::wait(int timeout_ms) {
  if (pid_ <= 0) return status_;
  const int64_t deadline = monotonic_ms() + timeout_ms;
  for (pid_t got; (got = waitpid(pid_, &status_, timeout_ms < 0 ? 0 : WNOHANG)) != pid_;) {
    if (got < 0 && errno != EINTR) {
      pid_ = -1;
      return status_ = -1;
    }
    if (timeout_ms >= 0 && monotonic_ms() >= deadline) return -1;
    if (got == 0) usleep(2000);
  }
  pid_ = -1;
  return status_;
}

}  // namespace kiv::test
