// Time-stamped event lines on standard error.
#include "log.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>

#include "base/file_io.h"

namespace kiv::manager {

int g_log_verbosity = kLogEvent;

void log_line(int level, const char* fmt, ...) {
  if (level > g_log_verbosity) return;
  const int saved_errno = errno;
  char line[1024];
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
  (void)kiv::write_all(STDERR_FILENO, line, n);
  errno = saved_errno;
}

}  // namespace kiv::manager
