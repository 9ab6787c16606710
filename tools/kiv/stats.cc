// Writing and reading the Manager's counters file.
#include "stats.h"

#include <errno.h>
#include <fcntl.h>
#include <inttypes.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/file_io.h"
#include "base/unique_fd.h"

namespace kiv::manager {

namespace {

constexpr char kFormat[] = "refused %" SCNu64 "\nturned_away %" SCNu64 "\nidle_closed %" SCNu64
                           "\nexhausted %" SCNu64 "\n";

}  // namespace

bool write_stats(const Stats& s) {
  char tmp[64], text[256];
  snprintf(tmp, sizeof tmp, "%s.new", kStatsPath);
  const int n = snprintf(text, sizeof text, "refused %" PRIu64 "\nturned_away %" PRIu64 "\nidle_closed %" PRIu64
                                            "\nexhausted %" PRIu64 "\n",
                         s.refused, s.turned_away, s.idle_closed, s.exhausted);
  (void)unlink(tmp);
  kiv::unique_fd fd(open(tmp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (!fd.ok()) return false;
  if (kiv::write_all(fd.get(), text, static_cast<size_t>(n)) != n) {
    (void)unlink(tmp);
    return false;
  }
  return rename(tmp, kStatsPath) == 0;
}

bool read_stats(Stats* s) {
  // O_NONBLOCK and the type check: a FIFO or device put in its place must
  // not stall the reader.
  kiv::unique_fd fd(open(kStatsPath, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat st, dir;
  if (!fd.ok() || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || lstat("/tmp/kiv", &dir) != 0 ||
      st.st_uid != dir.st_uid) {
    return false;
  }
  char text[256];
  if (kiv::read_text(fd.get(), text, sizeof text) <= 0) return false;
  Stats r;
  if (sscanf(text, kFormat, &r.refused, &r.turned_away, &r.idle_closed, &r.exhausted) != 4) return false;
  *s = r;
  return true;
}

}  // namespace kiv::manager
