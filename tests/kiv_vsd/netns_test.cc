// Network namespaces pinned on a VSD's namespace file, entered and removed.
#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "kiv_dbg.h"
#include "kiv_vsd.h"
#include "support/capture.h"
#include "support/vsd_world.h"

namespace kiv::test {
namespace {

using ::testing::HasSubstr;
using ::testing::MatchesRegex;

constexpr char kNsFile[] = "/tmp/vsd/5/netns/default";

class NetnsTest : public VsdTest {
 protected:
  void SetUp() override {
    VsdTest::SetUp();
    if (IsSkipped()) return;
    ASSERT_EQ(0, mkdir("/tmp/vsd/5", 0755));
    g_kiv_dbg_level[KIV_DBG_LIB] = 0;
  }
};

int create_in_child_status(int vsd_no, std::string* out) {
  ChildResult run = run_in_child([vsd_no] { return create_netns_for_vsd(vsd_no) == 0 ? 0 : 1; });
  if (out) *out = run.output;
  return run.exited(0) ? 0 : -1;
}

TEST_F(NetnsTest, PinnedNamespaceOutlivesItsCreatorAndCanBeEntered) {
  const unsigned long long own = inode_of("/proc/self/ns/net");
  std::string out;
  ASSERT_EQ(0, create_in_child_status(5, &out));
  EXPECT_THAT(out, HasSubstr("vsd5 ns dir:/tmp/vsd/5/netns\n"));
  EXPECT_THAT(out, HasSubstr("Create new net ns success:/tmp/vsd/5/netns/default\n"));
  EXPECT_EQ(0777, mode_of("/tmp/vsd/5/netns") | 0022) << "made with 0777 less the umask";

  const unsigned long long pinned = inode_of(kNsFile);
  ASSERT_NE(0u, pinned);
  EXPECT_NE(own, pinned);

  // The creator has ended; a new process still joins the same namespace.
  ChildResult join = run_in_child([pinned] {
    if (reassociate_netns_to_vsd(5) != 0) return 1;
    return inode_of("/proc/self/ns/net") == pinned ? 0 : 2;
  });
  EXPECT_TRUE(join.exited(0)) << join.status << join.output;
  EXPECT_EQ(own, inode_of("/proc/self/ns/net"));

  // A mounted namespace file cannot be replaced.
  ASSERT_EQ(-1, create_in_child_status(5, &out));
  EXPECT_THAT(out, HasSubstr("The ns file is exist,delete first!\n"));
  EXPECT_THAT(out, HasSubstr("Delete net ns fail:Device or resource busy!\n"));
  EXPECT_EQ(pinned, inode_of(kNsFile));

  capture_stdout([] { EXPECT_EQ(0, delete_netns_for_vsd(5)); });
  EXPECT_FALSE(exists(kNsFile));
  EXPECT_TRUE(exists("/tmp/vsd/5/netns"));  // goes with the VSD's root

  // Entering a namespace that is gone fails and leaves the caller where it was.
  ChildResult gone = run_in_child([own] {
    if (reassociate_netns_to_vsd(5) != -1) return 1;
    return inode_of("/proc/self/ns/net") == own ? 0 : 2;
  });
  EXPECT_TRUE(gone.exited(0)) << gone.status;
  EXPECT_THAT(gone.output, MatchesRegex(".*\\[KIV:kiv_vsd:[0-9]+\\]Open netns\\(/tmp/vsd/5/netns/default\\) "
                                     "fail:No such file or directory!\n"));

  // The directory exists now: creation goes straight on to the file.
  ASSERT_EQ(0, create_in_child_status(5, nullptr));
  EXPECT_NE(0u, inode_of(kNsFile));
  capture_stdout([] { EXPECT_EQ(0, delete_netns_for_vsd(5)); });
}

TEST_F(NetnsTest, NumbersOutsideTheVsdRangeTouchNothing) {
  for (int n : {0, 16, -1}) {
    std::string out;
    EXPECT_EQ(-1, create_in_child_status(n, &out));
    EXPECT_THAT(out, MatchesRegex("\\[KIV:kiv_vsd:[0-9]+\\]Unkown vsd id:" + std::to_string(n) + "\n"));
    out = capture_stdout([n] { EXPECT_EQ(-1, delete_netns_for_vsd(n)); });
    EXPECT_THAT(out, MatchesRegex("\\[KIV:kiv_vsd:[0-9]+\\]Unkown vsd id:" + std::to_string(n) + "\n"));
  }
  EXPECT_FALSE(exists("/tmp/vsd/0/netns"));
}

TEST_F(NetnsTest, FailuresOfTheSteps) {
  // Null arguments: -2, nothing logged, namespace unchanged.
  ChildResult nulls = run_in_child([] {
    return create_netns(nullptr, "x", getpid()) == -2 && create_netns("/tmp", nullptr, getpid()) == -2 ? 0 : 1;
  });
  EXPECT_TRUE(nulls.exited(0));
  EXPECT_EQ("", nulls.output);

  // No VSD root: the namespace directory cannot be made.
  std::string out;
  EXPECT_EQ(-1, create_in_child_status(6, &out));
  EXPECT_THAT(out, HasSubstr("Create ns_dir fail:No such file or directory!\n"));

  // A file that is not mounted: the unmount failure is only logged.
  ASSERT_EQ(0, mkdir("/tmp/vsd/5/netns", 0777));
  write_file(kNsFile, "");
  out = capture_stdout([] { EXPECT_EQ(0, delete_netns_for_vsd(5)); });
  EXPECT_THAT(out, HasSubstr("vsd5 netns path:/tmp/vsd/5/netns/default\n"));
  EXPECT_THAT(out, HasSubstr("Umount net ns fail:Invalid argument!\n"));
  EXPECT_FALSE(exists(kNsFile));

  // No file at all.
  out = capture_stdout([] { EXPECT_EQ(-1, delete_netns_for_vsd(5)); });
  EXPECT_THAT(out, HasSubstr("Unlink net ns fail:No such file or directory!\n"));

  // A stale, unmounted file is replaced by a fresh namespace.
  write_file(kNsFile, "");
  ASSERT_EQ(0, create_in_child_status(5, &out));
  EXPECT_THAT(out, HasSubstr("The ns file is exist,delete first!\n"));
  EXPECT_NE(inode_of("/proc/self/ns/net"), inode_of(kNsFile));
  capture_stdout([] { EXPECT_EQ(0, delete_netns_for_vsd(5)); });
}

}  // namespace
}  // namespace kiv::test
