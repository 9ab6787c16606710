// kiv_client_watch_process_fd in a child whose descriptor limit is lowered
// and filled: the fourth over-limit observation in a row ends the process.
#include "kiv_xtach.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "kiv_dbg.h"
#include "support/capture.h"
#include "support/utils_log.h"
#include "support/fixture.h"
#include "support/utils_child.h"

namespace kiv::test {
namespace {

using FdWatchTest = SandboxTest;

constexpr rlim_t kLimit = 40;

// In the child: the sequence of observations, 'O' at the limit and 'U'
// below it; after each call that returns, one byte goes to `progress`.
[[noreturn]] void watch_sequence(const char* seq, int progress, int log_fd) {
  dup2(log_fd, 1);
  g_kiv_dbg_level[KIV_DBG_LIB] = 0;
  struct rlimit lim;
  getrlimit(RLIMIT_NOFILE, &lim);
  lim.rlim_cur = kLimit;
  if (setrlimit(RLIMIT_NOFILE, &lim) != 0) _exit(20);
  std::vector<int> extra;
  for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) extra.push_back(fd);
  // kLimit - 1 descriptors open; the watch's own look at /proc/self/fd
  // holds the last one, so the count it sees equals the limit.
  close(extra.back());
  extra.pop_back();
  for (const char* s = seq; *s != '\0'; ++s) {
    if (*s == 'U') {
      close(extra.back());
      extra.pop_back();
      close(extra.back());
      extra.pop_back();
    }
    kiv_client_watch_process_fd(getpid());
    if (*s == 'U') {
      for (int i = 0; i < 2; ++i) extra.push_back(open("/dev/null", O_RDONLY | O_CLOEXEC));
    }
    if (write(progress, s, 1) != 1) _exit(21);
  }
  fflush(stdout);
  _exit(0);
}

TEST_F(FdWatchTest, FourthOverLimitObservationInARowExits) {
  int progress[2], log[2];
  ASSERT_EQ(0, pipe2(progress, O_CLOEXEC));
  ASSERT_EQ(0, pipe2(log, O_CLOEXEC));
  fflush(stdout);
  // Three over, one under (the count starts again), then four over.
  pid_t pid = fork();
  if (pid == 0) {
    close(progress[0]);
    close(log[0]);
    watch_sequence("OOOUOOOO", progress[1], log[1]);
  }
  close(progress[1]);
  close(log[1]);
  std::string done, out;
  char buf[4096];
  for (ssize_t n; (n = read(progress[0], buf, sizeof buf)) > 0;) done.append(buf, static_cast<size_t>(n));
  for (ssize_t n; (n = read(log[0], buf, sizeof buf)) > 0;) out.append(buf, static_cast<size_t>(n));
  close(progress[0]);
  close(log[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_EQ(1, exit_code(status));
  EXPECT_EQ("OOOUOOO", done);
  // One line for each over-limit call, with the command line and the pid.
  char exe[512] = {};
  ASSERT_GT(readlink("/proc/self/exe", exe, sizeof exe - 1), 0);
  std::string seven;
  for (int i = 0; i < 7; ++i) {
    seven += "[KIV:kiv_xtach:#]process " + std::string(exe) + "/" + std::to_string(pid) +
             ": open files exceed the system upper limit.\n";
  }
  EXPECT_EQ(seven, without_line_numbers(out));
}

TEST_F(FdWatchTest, BelowLimitAndUnreadableProcessReturn) {
  // The test process itself is far below its limit: nothing happens.
  for (int i = 0; i < 5; ++i) kiv_client_watch_process_fd(getpid());
  pid_t gone = fork();
  if (gone == 0) _exit(0);
  waitpid(gone, nullptr, 0);
  g_kiv_dbg_level[KIV_DBG_LIB] = 0;
  std::string out = capture_stdout([&] { kiv_client_watch_process_fd(gone); });
  g_kiv_dbg_level[KIV_DBG_LIB] = KIV_DBG_OFF;
  out = without_line_numbers(out);
  EXPECT_EQ(0u, out.rfind("[KIV:kiv_xtach:#]kiv_client_watch_process_fd: ", 0)) << out;
  EXPECT_EQ(out.size() - 1, out.find('\n')) << out;
}

}  // namespace
}  // namespace kiv::test
