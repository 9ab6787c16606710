// Running test programs as child processes (see program.h).
#include "support/program.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace kiv::test {
namespace {

long now_ms() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

}  // namespace

TestProgram::TestProgram(const std::string& name, const std::vector<std::string>& args, int uid) {
  std::string path = std::string(KIV_TEST_BIN_DIR) + "/" + name;
  std::vector<char*> argv;
  argv.push_back(path.data());
  std::vector<std::string> copies(args);
  for (auto& a : copies) argv.push_back(a.data());
  argv.push_back(nullptr);
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return;
  fflush(stdout);
  pid_ = fork();
  if (pid_ == 0) {
    dup2(fds[1], 1);  // dup2 clears close-on-exec on the copy
    if (uid >= 0 && (setgroups(0, nullptr) != 0 || setgid(uid) != 0 || setuid(uid) != 0)) _exit(126);
    execv(path.c_str(), argv.data());
    _exit(127);
  }
  close(fds[1]);
  out_ = fds[0];
}

TestProgram::~TestProgram() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    wait();
  }
  if (out_ >= 0) close(out_);
}

std::optional<std::string> TestProgram::read_line(int timeout_ms) {
  const long deadline = now_ms() + timeout_ms;
  for (;;) {
    size_t nl = pending_.find('\n');
    if (nl != std::string::npos) {
      std::string line = pending_.substr(0, nl);
      pending_.erase(0, nl + 1);
      return line;
    }
    const long left = deadline - now_ms();
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
  const long deadline = now_ms() + timeout_ms;
  while (out_ >= 0) {
    const long left = deadline - now_ms();
    if (left <= 0) break;
    struct pollfd p = {out_, POLLIN, 0};
    int n = poll(&p, 1, static_cast<int>(left));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    char buf[512];
    ssize_t got = read(out_, buf, sizeof buf);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    pending_.append(buf, static_cast<size_t>(got));
  }
  std::string all;
  all.swap(pending_);
  return all;
}

void TestProgram::kill(int sig) {
  if (pid_ > 0) ::kill(pid_, sig);
}

int TestProgram::wait() {
  int status = -1;
  if (pid_ <= 0) return status;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  return status;
}

}  // namespace kiv::test
