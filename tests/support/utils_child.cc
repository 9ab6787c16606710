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

}  // namespace kiv::test
