// Real child processes for tests (see utils_child.h).
#include "support/utils_child.h"

#include <fcntl.h>
#include <ftw.h>
#include <signal.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace kiv::test {

int run_in_child(const std::function<int()>& fn) {
  fflush(stdout);
  fflush(stderr);
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    int r = fn();
    fflush(stdout);
    _exit(r);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

int exit_code(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return -1000 - WTERMSIG(status);
  return -2000;
}

LiveProcess::LiveProcess(const std::string& path, const std::vector<std::string>& argv) {
  int p[2];
  if (pipe2(p, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe";
    return;
  }
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  fflush(stdout);
  pid_ = fork();
  if (pid_ == 0) {
    dup2(p[1], 3);
    fcntl(3, F_SETFD, 0);  // also when the pipe already was descriptor 3
    execv(path.c_str(), args.data());
    _exit(127);
  }
  close(p[1]);
  char c;
  ssize_t n;
  while ((n = read(p[0], &c, 1)) < 0 && errno == EINTR) {
  }
  close(p[0]);
  if (n != 1) ADD_FAILURE() << path << " did not start";
}

LiveProcess::~LiveProcess() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
  }
}

std::string read_file(const std::string& path) {
  std::string out;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return out;
  char buf[4096];
  for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) out.append(buf, static_cast<size_t>(n));
  close(fd);
  return out;
}

void remove_tree(const std::string& path) {
  nftw(
      path.c_str(), [](const char* p, const struct stat*, int, struct FTW*) { return remove(p) == 0 ? 0 : 0; },
      16, FTW_DEPTH | FTW_PHYS);
}

bool wait_for_file(const std::string& path, int timeout_ms) {
  for (int waited = 0; waited <= timeout_ms; waited += 5) {
    if (access(path.c_str(), F_OK) == 0) return true;
    usleep(5000);
  }
  return false;
}

}  // namespace kiv::test
