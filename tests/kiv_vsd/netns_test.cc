// Network namespaces pinned on a VSD's namespace file, entered and removed.
#include "support/vsd_world.h"

namespace kiv::test {
namespace {

constexpr char kNsFile[] = "/tmp/vsd/5/netns/default";

class NetnsTest : public VsdTest {
 protected:
  void SetUp() override {
    VsdTest::SetUp();
    if (!IsSkipped()) make_dirs({"/tmp/vsd/5"});
  }
};

// Runs op in a child (it moves the caller): its result, then its log.
std::string in_child(const std::function<int()>& op) {
  const ChildResult run = run_in_child([&] {
    g_kiv_dbg_level[KIV_DBG_LIB] = 0;
    return op() + 10;
  });
  return std::to_string(exit_code(run) - 10) + " " + without_line_numbers(run.output);
}

TEST_F(NetnsTest, PinnedNamespaceOutlivesItsCreatorAndCanBeEntered) {
  const unsigned long long own = inode_of("/proc/self/ns/net");
  const std::string create = "0 " + kTag + "vsd5 ns dir:/tmp/vsd/5/netns\n" + kTag + "vsd5 pid:";
  EXPECT_THAT(in_child([] { return create_netns_for_vsd(5); }), testing::StartsWith(create));
  EXPECT_EQ(0777, mode_of("/tmp/vsd/5/netns") | 0022);  // 0777 less the umask: no chmod
  const unsigned long long pinned = inode_of(kNsFile);
  EXPECT_NE(own, pinned);
  // The creator has ended; a new process still joins the same namespace.
  EXPECT_THAT(in_child([=] { return reassociate_netns_to_vsd(5) != 0 ? 1 : inode_of("/proc/self/ns/net") == pinned ? 0 : 2; }),
              testing::StartsWith("0 "));
  EXPECT_EQ(own, inode_of("/proc/self/ns/net"));
  // A mounted namespace file cannot be replaced.
  EXPECT_THAT(in_child([] { return create_netns_for_vsd(5); }),
              MatchesRegex("-1 (.|\n)*The ns file is exist,delete first!\n.*Delete net ns fail:Device or resource busy!\n"));
  EXPECT_EQ(pinned, inode_of(kNsFile));

  EXPECT_EQ(0, delete_netns_for_vsd(5));
  EXPECT_FALSE(exists(kNsFile));
  EXPECT_TRUE(exists("/tmp/vsd/5/netns"));  // it goes with the VSD's root
  // Entering a namespace that is gone fails and leaves the caller where it was.
  EXPECT_EQ("1 " + kTag + "vsd5 netns path:" + kNsFile + "\n" + kTag + "Open netns(" + kNsFile +
                ") fail:No such file or directory!\n",
            in_child([=] { return reassociate_netns_to_vsd(5) == -1 && inode_of("/proc/self/ns/net") == own ? 1 : 2; }));
  // The directory exists now: creation goes straight on to the file.
  EXPECT_THAT(in_child([] { return create_netns_for_vsd(5); }), testing::StartsWith("0 "));
  EXPECT_NE(0u, inode_of(kNsFile));
  EXPECT_EQ(0, delete_netns_for_vsd(5));
}

TEST_F(NetnsTest, FailuresOfTheSteps) {
  const auto unknown = [](int n) { return "-1 " + kTag + "Unkown vsd id:" + std::to_string(n) + "\n"; };
  const struct {
    std::function<int()> op;
    std::string result;
  } rows[] = {
      {[] { return create_netns_for_vsd(0); }, unknown(0)},
      {[] { return create_netns_for_vsd(16); }, unknown(16)},
      {[] { return delete_netns_for_vsd(-1); }, unknown(-1)},
      {[] { return create_netns(nullptr, "x", getpid()) + create_netns("/tmp", nullptr, getpid()); }, "-4 "},
      {[] { return create_netns_for_vsd(6); }, "-1 " + kTag + "Create ns_dir fail:No such file or directory!\n"},
      // A file that is not mounted: only logged, and removed.
      {[] { return delete_netns_for_vsd(5); },
       "0 " + kTag + "vsd5 netns path:/tmp/vsd/5/netns/default\n" + kTag + "Umount net ns fail:Invalid argument!\n"},
      {[] { return delete_netns_for_vsd(5); }, "-1 " + kTag + "vsd5 netns path:/tmp/vsd/5/netns/default\n" + kTag +
                                                   "Umount net ns fail:No such file or directory!\n" + kTag +
                                                   "Unlink net ns fail:No such file or directory!\n"},
  };
  make_dirs({"/tmp/vsd/5/netns"}, 0777);
  write_file(kNsFile);
  for (const auto& row : rows) EXPECT_EQ(row.result, in_child(row.op)) << &row - rows;
  EXPECT_FALSE(exists("/tmp/vsd/0/netns"));
  // A stale, unmounted file is replaced by a fresh namespace.
  write_file(kNsFile);
  EXPECT_THAT(in_child([] { return create_netns_for_vsd(5); }), HasSubstr("The ns file is exist,delete first!\n"));
  EXPECT_NE(inode_of("/proc/self/ns/net"), inode_of(kNsFile));
  EXPECT_EQ(0, delete_netns_for_vsd(5));
}

}  // namespace
}  // namespace kiv::test
