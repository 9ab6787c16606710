// kiv_client_watch_process_fd in a process whose descriptor limit is
// lowered and filled: the fourth over-limit observation in a row ends it.
#include "kiv_xtach.h"

#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "kiv_dbg.h"
#include "support/capture.h"
#include "support/fixture.h"
#include "support/child.h"
#include "support/log_text.h"

namespace kiv::test {
namespace {

using FdWatchTest = SandboxTest;

const std::string kWatcher = std::string(KIV_TEST_BIN_DIR) + "/xtach_fd_watcher";

TEST_F(FdWatchTest, FourthOverLimitObservationInARowExits) {
  // Three over, one under (the count starts again), then four over.
  auto watcher = [] {
    execl(kWatcher.c_str(), kWatcher.c_str(), "40", "OOOUOOOO", static_cast<char*>(nullptr));
    return 127;
  };
  const ChildResult r = Child(watcher, true).wait();
  EXPECT_EQ(1, exit_code(r));
  EXPECT_EQ("OOOUOOO", r.errors);  // the calls that returned
  // One line for each over-limit call, with the command line and the pid.
  char exe[512] = {};
  ASSERT_NE(nullptr, realpath(kWatcher.c_str(), exe));
  // The command line is the executable's path and the two arguments.
  std::string seven;
  for (int i = 0; i < 7; ++i) {
    seven += "[KIV:kiv_xtach:N]process " + std::string(exe) + " 40 OOOUOOOO/" + std::to_string(r.pid) +
             ": open files exceed the system upper limit.\n";
  }
  EXPECT_EQ(seven, without_line_numbers(r.output));
}

TEST_F(FdWatchTest, BelowLimitAndUnreadableProcessReturn) {
  // The test process itself is far below its limit: nothing happens.
  for (int i = 0; i < 5; ++i) kiv_client_watch_process_fd(getpid());
  const pid_t gone = ended_pid();
  g_kiv_dbg_level[KIV_DBG_LIB] = 0;
  std::string out = capture_stdout([&] { kiv_client_watch_process_fd(gone); });
  g_kiv_dbg_level[KIV_DBG_LIB] = KIV_DBG_OFF;
  out = without_line_numbers(out);
  EXPECT_EQ(0u, out.rfind("[KIV:kiv_xtach:N]kiv_client_watch_process_fd: ", 0)) << out;
  EXPECT_EQ(out.size() - 1, out.find('\n')) << out;
}

}  // namespace
}  // namespace kiv::test
