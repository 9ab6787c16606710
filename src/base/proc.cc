// Readers of /proc/PID files.
#include "base/proc.h"

#include <stdio.h>
#include <string.h>

#include "base/file_io.h"

namespace kiv {

ssize_t read_proc_file(pid_t pid, const char* name, char* buf, size_t size) {
  char path[64];
  snprintf(path, sizeof path, "/proc/%d/%s", pid, name);
  return read_small_file(path, buf, size);
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
