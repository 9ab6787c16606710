// Readers of /proc/PID files.
#include "base/proc.h"

#include <stdio.h>
#include <string.h>

#include "base/file_io.h"

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
