// The close-on-exec rule for descriptors.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "kiv_os.h"
#include "support/fixture.h"

namespace kiv::test {
namespace {

class CloexecTest : public SandboxTest {};

TEST_F(CloexecTest, AddsTheFlagAndKeepsTheRest) {
  EXPECT_EQ(-1, kiv_os_set_fd_close_on_exec(-1));
  int p[2];
  ASSERT_EQ(0, pipe2(p, O_NONBLOCK));
  EXPECT_EQ(0, fcntl(p[0], F_GETFD) & FD_CLOEXEC);
  EXPECT_EQ(0, kiv_os_set_fd_close_on_exec(p[0]));
  EXPECT_NE(0, fcntl(p[0], F_GETFD) & FD_CLOEXEC);
  EXPECT_NE(0, fcntl(p[0], F_GETFL) & O_NONBLOCK);  // status flags untouched
  EXPECT_EQ(0, kiv_os_set_fd_close_on_exec(p[0]));  // idempotent
  EXPECT_EQ(0, fcntl(p[1], F_GETFD) & FD_CLOEXEC);  // only the one given
  close(p[0]);
  close(p[1]);
  EXPECT_EQ(-1, kiv_os_set_fd_close_on_exec(p[0]));  // closed: EBADF
}

}  // namespace
}  // namespace kiv::test
