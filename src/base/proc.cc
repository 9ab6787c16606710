// Readers of /proc/PID files.
#include "base/proc.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "base/unique_fd.h"

namespace kiv {

FILE* open_proc_status(pid_t id, char (&buf)[kProcStreamLen]) {
  char path[64];
  snprintf(path, sizeof path, "/proc/%d/status", id);
  return open_proc_stream(path, buf);
}

bool find_status_line(FILE* f, const char* key, char (&line)[kStatusLineLen]) {
  const size_t key_len = strlen(key);
  while (fgets(line, sizeof line, f) != nullptr) {
    if (strncmp(line, key, key_len) == 0) return true;
  }
  return false;
}

const char* status_value(const char* line, const char* key) {
  const char* v = line + strlen(key);
  return *v == '\t' ? v + 1 : v;
}

ssize_t read_proc_file(pid_t pid, const char* name, char* buf, size_t size) {
  char path[64];
  snprintf(path, sizeof path, "/proc/%d/%s", pid, name);
  unique_fd fd(open(path, O_RDONLY | O_CLOEXEC));
  if (!fd.ok()) return -1;
  // These files are made whole by one show call when they are opened for
  // reading (seq_file single_open), so the first read that has room
  // returns all of it; the read after it could only return 0.
  ssize_t n;
  do {
    n = read(fd.get(), buf, size - 1);
  } while (n < 0 && errno == EINTR);
  buf[n < 0 ? 0 : n] = '\0';
  return n;
}

const char* stat_fields_of(const char* text) {
  const char* close = strrchr(text, ')');
  if (close == nullptr || close[1] != ' ') return nullptr;
  return close + 2;
}

bool stat_says_alive(const char* text) {
  const char* fields = stat_fields_of(text);
  if (fields == nullptr) return false;
  return *fields != 'Z' && *fields != 'X' && *fields != 'x';
}

}  // namespace kiv
