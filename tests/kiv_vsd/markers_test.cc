// The device-monitor and debug marker files.
#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "kiv_vsd.h"
#include "support/capture.h"
#include "support/vsd_world.h"

namespace kiv::test {
namespace {

using MarkerTest = VsdTest;

TEST_F(MarkerTest, DeviceMonitorMarkerLifecycle) {
  std::string out = capture_stdout([] {
    EXPECT_EQ(-ENOENT, del_dev_mon_log());
    EXPECT_EQ(-ENOENT, del_dev_mon_restart());

    const mode_t old = umask(022);
    EXPECT_EQ(0, dev_mon_restart());
    umask(old);
    EXPECT_EQ(0754, mode_of("/etc/dev_mon"));
    write_file("/etc/dev_mon", "content", 0640);  // an existing marker is left as it is
    EXPECT_EQ(0, dev_mon_restart());
    EXPECT_EQ("content", read_file("/etc/dev_mon"));
    EXPECT_EQ(0640, mode_of("/etc/dev_mon"));

    EXPECT_EQ(0, del_dev_mon_log());  // a presence test only
    EXPECT_TRUE(exists("/etc/dev_mon"));
    EXPECT_EQ(0, del_dev_mon_restart());
    EXPECT_FALSE(exists("/etc/dev_mon"));
    EXPECT_EQ(-ENOENT, del_dev_mon_restart());
  });
  EXPECT_EQ("", out);  // nothing is logged
}

TEST_F(MarkerTest, DebugMarkerIsOnlyTested) {
  EXPECT_EQ(-ENOENT, debug_log());
  write_file("/etc/debug_log", "", 0600);
  EXPECT_EQ(0, debug_log());
  EXPECT_EQ(0, debug_log());
  EXPECT_TRUE(exists("/etc/debug_log"));
  ASSERT_EQ(0, mkdir("/etc/dev_mon", 0755));  // not a file: cannot be opened for writing
  EXPECT_EQ(-EISDIR, del_dev_mon_log());
  EXPECT_EQ(-EISDIR, del_dev_mon_restart());
  EXPECT_TRUE(exists("/etc/dev_mon"));
}

}  // namespace
}  // namespace kiv::test
