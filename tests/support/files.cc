// File, output-capture and log-text helpers for tests (files.h).
#include "support/files.h"

#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "base/semun.h"
#include "support/child.h"

namespace kiv::test {

std::string read_file(const std::string& path) {
  std::string out;
  char buf[4096];
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);  // no stream: an exec elsewhere must not inherit it
  for (ssize_t n; fd >= 0 && (n = read(fd, buf, sizeof buf)) > 0;) out.append(buf, static_cast<size_t>(n));
  if (fd >= 0) close(fd);
  return out;
}

void write_file(const std::string& path, const std::string& text, mode_t mode) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()) || fchmod(fd, mode) != 0)
    ADD_FAILURE() << "write " << path << ": " << strerror(errno);
  if (fd >= 0) close(fd);
}

void remove_tree(const std::string& path) {
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
}

bool wait_until(const std::function<bool()>& cond, int timeout_ms) {
  for (const int64_t end = monotonic_ms() + timeout_ms;; usleep(5000)) {
    if (cond()) return true;
    if (monotonic_ms() > end) return false;
  }
}

bool exists(const std::string& path) { return faccessat(AT_FDCWD, path.c_str(), F_OK, AT_SYMLINK_NOFOLLOW) == 0; }

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
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(path, ec)) names.push_back(e.path().filename());
  return names;
}

pid_t lock_holder(const std::string& path) {
  ChildResult r = run_in_child([&] {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct flock fl = {};
    fl.l_type = F_WRLCK;
    if (fd < 0 || fcntl(fd, F_GETLK, &fl) != 0) return 1;
    printf("%d", fl.l_type == F_UNLCK ? 0 : fl.l_pid);
    return 0;
  });
  return r.exited(0) ? atoi(r.output.c_str()) : -1;
}

struct semid_ds sem_stat(int id) {
  struct semid_ds ds = {};
  semun arg = {};
  arg.buf = &ds;
  if (semctl(id, 0, IPC_STAT, arg) != 0) ds = {};
  return ds;
}

std::string capture_stdout(const std::function<void()>& fn) {
  fflush(stdout);
  const int mem = memfd_create("kiv-capture", MFD_CLOEXEC), saved = dup(1);
  dup2(mem, 1);
  fn();
  fflush(stdout);
  dup2(saved, 1);
  close(saved);
  std::string out = read_file("/proc/self/fd/" + std::to_string(mem));
  close(mem);
  return out;
}

// By hand, not std::regex: GCC 12 warns about std::function inside <regex>
// (-Wmaybe-uninitialized) when built with the sanitizers.
std::string without_line_numbers(const std::string& out) {
  std::string r = out;
  for (size_t at = r.find("[KIV"); at != std::string::npos; at = r.find("[KIV", at + 1)) {
    // The line closes the tag: "[KIV:module:LINE]" or "[KIV]<file, step, LINE>".
    const size_t end = r.compare(at, 5, "[KIV:") == 0    ? r.find(']', at)
                       : r.compare(at, 6, "[KIV]<") == 0 ? r.find('>', at)
                                                         : std::string::npos;
    size_t digits = end;
    while (digits != std::string::npos && isdigit(static_cast<unsigned char>(r[digits - 1]))) --digits;
    if (digits != end && (r[digits - 1] == ':' || r.compare(digits - 2, 2, ", ") == 0))
      r.replace(digits, end - digits, "N");
  }
  return r;
}

int count_of(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t pos = 0; (pos = text.find(what, pos)) != std::string::npos; pos += what.size()) ++n;
  return n;
}

}  // namespace kiv::test
