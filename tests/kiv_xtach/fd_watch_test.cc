// kiv_client_watch_process_fd in a process whose descriptor limit is
// lowered and filled: the fourth over-limit observation in a row ends it.
#include "kiv_xtach.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "kiv_dbg.h"
#include "support/capture.h"
#include "support/fixture.h"
#include "support/utils_child.h"
#include "support/utils_log.h"

namespace kiv::test {
namespace {

using FdWatchTest = SandboxTest;

const std::string kWatcher = std::string(KIV_TEST_BIN_DIR) + "/xtach_fd_watcher";

TEST_F(FdWatchTest, FourthOverLimitObservationInARowExits) {
  int progress[2], log[2];
  ASSERT_EQ(0, pipe2(progress, O_CLOEXEC));
  ASSERT_EQ(0, pipe2(log, O_CLOEXEC));
  fflush(stdout);
  // Three over, one under (the count starts again), then four over.
  pid_t pid = fork();
  if (pid == 0) {
    dup2(progress[1], 3);
    fcntl(3, F_SETFD, 0);  // also when the pipe already was descriptor 3
    dup2(log[1], 1);
    execl(kWatcher.c_str(), kWatcher.c_str(), "40", "OOOUOOOO", static_cast<char*>(nullptr));
    _exit(127);
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
  ASSERT_NE(nullptr, realpath(kWatcher.c_str(), exe));
  // The command line is the executable's path and the two arguments.
  std::string seven;
  for (int i = 0; i < 7; ++i) {
    seven += "[KIV:kiv_xtach:#]process " + std::string(exe) + " 40 OOOUOOOO/" + std::to_string(pid) +
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
