// Facts about a task read from /proc: owning process, name, and liveness.
#include <stdio.h>
#include <string.h>

#include "base/proc.h"
#include "base/unique_file.h"
#include "kiv_utils.h"
#include "kiv_utils/proc_text.h"

namespace kiv {
namespace {

constexpr int kLifeAttempts = 3;
constexpr int kLifePauseUs = 10000;

}  // namespace

int status_tgid(FILE* f) {
  char line[kStatusLineLen];
  if (!find_status_line(f, "Tgid:", line)) return -1;
  int tgid;
  return sscanf(line, "Tgid:\t%d", &tgid) == 1 ? tgid : -1;
}

int status_name(FILE* f, char* dst, int n) {
  char line[kStatusLineLen];
  if (!find_status_line(f, "Name:", line)) return -1;
  char name[kStatusLineLen];
  if (sscanf(line, "Name:\t%255[^\r\n]", name) != 1) return -1;
  snprintf(dst, static_cast<size_t>(n), "%s", name);
  return 0;
}

}  // namespace kiv

extern "C" int kiv_get_ppid_form_pid(pid_t id) {
  char buf[kiv::kProcStreamLen];
  kiv::unique_file f(kiv::open_proc_status(id, buf));
  return f.ok() ? kiv::status_tgid(f.get()) : -1;
}

extern "C" int kiv_get_pid_name(pid_t id, char* dst, int n) {
  if (dst == nullptr || n <= 0) return -1;
  char buf[kiv::kProcStreamLen];
  kiv::unique_file f(kiv::open_proc_status(id, buf));
  return f.ok() ? kiv::status_name(f.get(), dst, n) : -1;
}

extern "C" int process_life(pid_t pid) {
  char text[kiv::kProcStatLen];
  // A process seen as dying may be caught between states; look three times.
  for (int i = 0; i < kiv::kLifeAttempts; ++i) {
    if (kiv::read_proc_file(pid, "stat", text, sizeof text) >= 0 && kiv::stat_says_alive(text)) return 0;
    (void)safe_usleep(kiv::kLifePauseUs);
  }
  return -1;
}
