// Small file helpers for tests (see files.h).
#include "support/files.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/child.h"

namespace kiv::test {

std::string read_file(const std::string& path) {
  std::string out;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return out;
  char buf[4096];
  for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) out.append(buf, static_cast<size_t>(n));
  close(fd);
  return out;
}

void write_file(const std::string& path, const std::string& text, mode_t mode) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) {
    ADD_FAILURE() << "open " << path << ": " << strerror(errno);
    return;
  }
  if (write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
    ADD_FAILURE() << "write " << path;
  fchmod(fd, mode);
  close(fd);
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

bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

int mode_of(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
}

unsigned long long inode_of(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<unsigned long long>(st.st_ino) : 0;
}

std::vector<std::string> list_dir(const std::string& path) {
  std::vector<std::string> names;
  DIR* d = opendir(path.c_str());
  if (d == nullptr) return names;
  while (struct dirent* e = readdir(d)) {
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.emplace_back(e->d_name);
  }
  closedir(d);
  return names;
}

pid_t lock_holder(const std::string& path) {
  ChildResult r = run_in_child([&] {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct flock fl = {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    if (fd < 0 || fcntl(fd, F_GETLK, &fl) != 0) return 1;
    printf("%d", fl.l_type == F_UNLCK ? 0 : fl.l_pid);
    return 0;
  });
  return r.exited(0) ? atoi(r.output.c_str()) : -1;
}

}  // namespace kiv::test
