// Runs the descriptor watch on itself with its descriptor limit lowered to
// argv[1] and filled: argv[2] is the sequence of calls, 'O' with the count
// at the limit and 'U' below it. After each call that returns it writes
// that letter to standard error. Logs go to standard output.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <vector>

#include "kiv_dbg.h"
#include "kiv_xtach.h"

int main(int argc, char** argv) {
  if (argc != 3) return 20;
  g_kiv_dbg_level[KIV_DBG_LIB] = 0;
  struct rlimit lim;
  getrlimit(RLIMIT_NOFILE, &lim);
  lim.rlim_cur = strtoul(argv[1], nullptr, 10);
  if (setrlimit(RLIMIT_NOFILE, &lim) != 0) return 21;
  std::vector<int> extra;
  for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) extra.push_back(fd);
  // One below the limit: the watch's own look at /proc/self/fd holds the
  // last descriptor, so the count it sees equals the limit.
  close(extra.back());
  extra.pop_back();
  for (const char* s = argv[2]; *s != '\0'; ++s) {
    if (*s == 'U') {
      for (int i = 0; i < 2; ++i) {
        close(extra.back());
        extra.pop_back();
      }
    }
    kiv_client_watch_process_fd(getpid());
    if (*s == 'U') {
      for (int i = 0; i < 2; ++i) extra.push_back(open("/dev/null", O_RDONLY | O_CLOEXEC));
    }
    if (write(2, s, 1) != 1) return 22;
  }
  return 0;
}
