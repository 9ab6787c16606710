// Time-stamped event lines on standard error.
#include "log.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "base/file_io.h"

namespace kiv::manager {

int g_log_verbosity = kLogEvent;

namespace {

constexpr size_t kLineLen = 1024;
// Every line of one wake-up of a busy loop, in one write(2): one system
// call per wake-up instead of one per event. Whole lines only, so lines
// of the daemon and of its children never interleave mid-line.
constexpr size_t kPendingLen = 16 * kLineLen;
char g_pending[kPendingLen];
size_t g_pending_len = 0;

}  // namespace

void log_flush() {
  if (g_pending_len == 0) return;
  const int saved_errno = errno;
  (void)kiv::write_all(STDERR_FILENO, g_pending, g_pending_len);
  g_pending_len = 0;
  errno = saved_errno;
}

void log_line(int level, const char* fmt, ...) {
  if (level > g_log_verbosity) return;
  const int saved_errno = errno;
  char line[kLineLen];
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  struct tm tm;
  localtime_r(&ts.tv_sec, &tm);
  size_t n = strftime(line, sizeof line, "%Y-%m-%d %H:%M:%S", &tm);
  int m = snprintf(line + n, sizeof line - n, ".%03ld kiv: ", ts.tv_nsec / 1000000);
  n += m > 0 ? static_cast<size_t>(m) : 0;
  va_list ap;
  va_start(ap, fmt);
  errno = saved_errno;  // lets %m name the caller's error
  m = vsnprintf(line + n, sizeof line - n, fmt, ap);
  va_end(ap);
  if (m > 0) n += static_cast<size_t>(m);
  if (n > sizeof line - 2) n = sizeof line - 2;  // cut, but keep the line end
  line[n++] = '\n';
  if (g_pending_len + n > kPendingLen) log_flush();
  memcpy(g_pending + g_pending_len, line, n);
  g_pending_len += n;
  errno = saved_errno;
}

}  // namespace kiv::manager
