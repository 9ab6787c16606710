// Facts about a task read from /proc: owning process, name, and liveness.
#include <stdio.h>
#include <string.h>

#include "kiv_utils.h"
#include "kiv_utils/proc_stream.h"
#include "kiv_utils/unique_file.h"

namespace kiv {
namespace {

constexpr size_t kStatusPathLen = 64;
constexpr size_t kStatusLineLen = 256;
constexpr size_t kStatPathLen = 32;
constexpr size_t kStatTextLen = 1024;
constexpr int kLifeAttempts = 3;
constexpr int kLifePauseUs = 10000;

// Reads /proc/ID/status into line up to the first line that begins with
// key. Returns false when the task is gone or has no such line.
bool find_status_line(pid_t id, const char* key, char (&line)[kStatusLineLen]) {
  char path[kStatusPathLen];
  snprintf(path, sizeof path, "/proc/%d/status", id);
  char buf[kProcStreamLen];
  unique_file f(open_proc_stream(path, buf));
  if (!f.ok()) return false;
  const size_t key_len = strlen(key);
  while (fgets(line, sizeof line, f.get()) != nullptr) {
    if (strncmp(line, key, key_len) == 0) return true;
  }
  return false;
}

// The state letter follows the last ')' of /proc/PID/stat: the command name
// before it is in parentheses and may hold ')' and spaces of its own.
bool stat_says_alive(const char* text) {
  const char* close = strrchr(text, ')');
  if (close == nullptr || close[1] != ' ') return false;
  const char state = close[2];
  return state != 'Z' && state != 'X' && state != 'x';
}

}  // namespace
}  // namespace kiv

extern "C" int kiv_get_ppid_form_pid(pid_t id) {
  char line[kiv::kStatusLineLen];
  if (!kiv::find_status_line(id, "Tgid:", line)) return -1;
  int tgid;
  return sscanf(line, "Tgid:\t%d", &tgid) == 1 ? tgid : -1;
}

extern "C" int kiv_get_pid_name(pid_t id, char* dst, int n) {
  if (dst == nullptr || n <= 0) return -1;
  char line[kiv::kStatusLineLen];
  if (!kiv::find_status_line(id, "Name:", line)) return -1;
  char name[kiv::kStatusLineLen];
  if (sscanf(line, "Name:\t%255[^\r\n]", name) != 1) return -1;
  snprintf(dst, static_cast<size_t>(n), "%s", name);
  return 0;
}

extern "C" int process_life(pid_t pid) {
  char path[kiv::kStatPathLen];
  snprintf(path, sizeof path, "/proc/%d/stat", pid);
  char text[kiv::kStatTextLen];
  // A process seen as dying may be caught between states; look three times.
  for (int i = 0; i < kiv::kLifeAttempts; ++i) {
    if (kiv_read_to_buf(path, text, sizeof text) >= 0 && kiv::stat_says_alive(text)) return 0;
    (void)safe_usleep(kiv::kLifePauseUs);
  }
  return -1;
}
