// Helpers of the cgroup and memory-watch tests (see vsd_res.h).
#include "support/vsd_res.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>

#include <gtest/gtest.h>

#include "support/files.h"

namespace kiv::test {

Hog::Hog(unsigned kib, const std::vector<gid_t>& groups, const std::vector<std::string>& tasks_files) {
  int ready[2];
  if (pipe2(ready, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe";
    return;
  }
  const std::string size = std::to_string(kib);
  fflush(nullptr);
  pid_ = fork();
  if (pid_ == 0) {
    if (setgroups(groups.size(), groups.data()) != 0) _exit(120);
    for (const auto& tasks : tasks_files) {
      const std::string me = std::to_string(getpid());
      int fd = open(tasks.c_str(), O_WRONLY | O_CLOEXEC);
      if (fd < 0 || write(fd, me.data(), me.size()) != static_cast<ssize_t>(me.size())) _exit(121);
      close(fd);
    }
    dup2(ready[1], 3);
    fcntl(3, F_SETFD, 0);
    execl(KIV_TEST_BIN_DIR "/vsd_res_hog", "vsd_res_hog", size.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(ready[1]);
  struct pollfd p = {ready[0], POLLIN, 0};
  char c;
  if (pid_ < 0 || poll(&p, 1, 10000) != 1 || read(ready[0], &c, 1) != 1)
    ADD_FAILURE() << "hog of " << kib << " KiB did not start";
  close(ready[0]);
}

Hog::~Hog() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
  }
}

bool Hog::killed_by(int sig) {
  if (pid_ > 0) {
    for (int i = 0; i < 200; ++i) {
      if (waitpid(pid_, &status_, WNOHANG) == pid_) {
        pid_ = -1;
        break;
      }
      usleep(5000);
    }
  }
  return pid_ < 0 && WIFSIGNALED(status_) && WTERMSIG(status_) == sig;
}

bool Hog::alive() {
  if (pid_ <= 0) return false;
  if (waitpid(pid_, &status_, WNOHANG) == pid_) {
    pid_ = -1;
    return false;
  }
  return true;
}

void make_member_dir(int vsd_no) {
  const std::string root = "/tmp/vsd/" + std::to_string(vsd_no);
  for (const std::string& d : {root, root + "/kiv", root + "/kiv/db"}) {
    if (mkdir(d.c_str(), 0777) != 0 && errno != EEXIST) ADD_FAILURE() << "mkdir " << d << ": " << strerror(errno);
  }
}

void add_member(int vsd_no, pid_t pid) {
  const std::string path = "/tmp/vsd/" + std::to_string(vsd_no) + "/kiv/" + std::to_string(pid);
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0754);
  if (fd < 0) ADD_FAILURE() << "member file " << path << ": " << strerror(errno);
  else close(fd);
}

std::set<pid_t> tasks_of(const std::string& tasks_file) {
  std::set<pid_t> pids;
  std::istringstream in(read_file(tasks_file));
  for (pid_t pid; in >> pid;) pids.insert(pid);
  return pids;
}

std::string control_value(const std::string& path) {
  std::string text = read_file(path);
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

pid_t ended_pid() {
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) _exit(0);
  while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
  return pid;
}

}  // namespace kiv::test
