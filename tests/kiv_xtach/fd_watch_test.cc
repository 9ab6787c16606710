// kiv_client_watch_process_fd in a process whose descriptor limit is lowered
// and filled: the fourth over-limit observation in a row ends it.
#include <gtest/gtest.h>
#include <unistd.h>

#include "kiv_xtach.h"
#include "support/child.h"
#include "support/fixture.h"

namespace kiv::test {
namespace {

using FdWatchTest = SandboxTest;

TEST_F(FdWatchTest, FourthOverLimitObservationInARowExits) {
  for (int i = 0; i < 5; ++i) kiv_client_watch_process_fd(getpid());  // far below the limit
  kiv_client_watch_process_fd(ended_pid());                           // nothing to read
  // Three at the limit, one below (the count starts again), then four at it.
  const ChildResult r = Child(
                            [] {
                              execl(KIV_TEST_BIN_DIR "/xtach_fd_watcher", "xtach_fd_watcher", "40", "OOOUOOOO",
                                    static_cast<char*>(nullptr));
                              return 127;
                            },
                            true)
                            .wait();
  EXPECT_EQ(1, exit_code(r));
  EXPECT_EQ("OOOUOOO", r.errors);  // the calls that returned
}

}  // namespace
}  // namespace kiv::test
