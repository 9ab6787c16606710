// A process's command line as one printable line: the real path of its
// executable, then its later arguments separated by single spaces.
#include <stdio.h>
#include <unistd.h>

#include "base/proc_stream.h"
#include "base/unique_file.h"
#include "kiv_utils.h"
#include "kiv_utils/proc_text.h"

namespace kiv {
namespace {

constexpr size_t kProcPathLen = 32;

// Step back over the spaces that empty trailing arguments left behind, but
// never into the executable's path, which ends just before `floor`.
void terminate_line(char* buf, size_t pos, size_t floor) {
  while (pos > floor && buf[pos - 1] == ' ') --pos;
  buf[pos] = '\0';
}

}  // namespace

int append_cmdline_args(FILE* f, char* buf, size_t size, size_t len) {
  // The first argument is whatever the caller of exec chose; the exe link
  // replaces it.
  int c;
  while ((c = getc(f)) != EOF && c != '\0') {
  }
  if (c == EOF) {
    buf[len] = '\0';
    return 0;
  }
  buf[len] = ' ';
  size_t pos = len + 1;
  int result = 0;
  while ((c = getc(f)) != EOF) {
    // Arguments are NUL-separated in /proc; a line feed would split the
    // line in a log, so the visible text ends there.
    buf[pos++] = c == '\0' ? ' ' : c == '\n' ? '\0' : static_cast<char>(c);
    if (pos == size - 1) {
      result = -2;
      break;
    }
  }
  terminate_line(buf, pos, len);
  return result;
}

}  // namespace kiv

extern "C" int kiv_get_cmdline(pid_t pid, char* buf, size_t size) {
  if (buf == nullptr || size == 0) return -1;
  char path[kiv::kProcPathLen];
  snprintf(path, sizeof path, "/proc/%d/exe", pid);
  // Kernel threads have no exe link; a process that is gone has no /proc
  // entry at all. With size 1 readlink() is given no room and fails too.
  ssize_t n = readlink(path, buf, size - 1);
  if (n < 0) {
    buf[0] = '\0';
    return -1;
  }
  const size_t len = static_cast<size_t>(n);
  // No room for a separator, one character and the NUL: the path alone.
  if (size < len + 3) {
    buf[len] = '\0';
    return 0;
  }
  snprintf(path, sizeof path, "/proc/%d/cmdline", pid);
  char stream_buf[kiv::kProcStreamLen];
  kiv::unique_file f(kiv::open_proc_stream(path, stream_buf));
  if (!f.ok()) {
    buf[len] = '\0';
    return 0;
  }
  return kiv::append_cmdline_args(f.get(), buf, size, len);
}
