// Network namespaces pinned on a VSD's namespace file, entered and removed.
#include "support/vsd_world.h"

namespace kiv::test {
namespace {

constexpr char kNsFile[] = "/tmp/vsd/5/netns/default";
using NetnsTest = VsdTest;

// Runs op in a child (it moves its caller), with the log on: its result,
// then its log.
std::string in_child(const std::function<int()>& op) {
  const ChildResult run = run_in_child([&] {
    g_kiv_dbg_level[KIV_DBG_LIB] = 0;
    return op() + 10;
  });
  return std::to_string(exit_code(run) - 10) + " " + without_line_numbers(run.output);
}

TEST_F(NetnsTest, PinnedNamespaceOutlivesItsCreatorAndCanBeEntered) {
  make_dirs({"/tmp/vsd/5"});
  const unsigned long long own = inode_of("/proc/self/ns/net");
  EXPECT_THAT(in_child([] { return create_netns_for_vsd(5); }), testing::StartsWith("0 "));
  EXPECT_EQ(0777, mode_of("/tmp/vsd/5/netns") | 0022);  // 0777 less the umask: no chmod
  const unsigned long long pinned = inode_of(kNsFile);
  EXPECT_NE(own, pinned);
  // The creator has ended; a new process still joins the same namespace.
  const auto enter = [](unsigned long long want) {
    return [want] { return reassociate_netns_to_vsd(5) * 10 + (inode_of("/proc/self/ns/net") == want ? 1 : 2); };
  };
  EXPECT_EQ("1 " + kTag + "vsd5 netns path:" + kNsFile + "\n", in_child(enter(pinned)));
  EXPECT_EQ(own, inode_of("/proc/self/ns/net"));
  // A mounted namespace file cannot be replaced.
  EXPECT_THAT(in_child([] { return create_netns_for_vsd(5); }),
              MatchesRegex("-1 (.|\n)*The ns file is exist,delete first!\n.*Delete net ns fail:Device or resource busy!\n"));
  EXPECT_EQ(pinned, inode_of(kNsFile));
  EXPECT_EQ(0, delete_netns_for_vsd(5));
  EXPECT_EQ(std::vector<std::string>{}, list_dir("/tmp/vsd/5/netns"));  // the directory goes with the VSD root
  // Entering a namespace that is gone fails and leaves the caller where it was.
  EXPECT_EQ("-9 " + kTag + "vsd5 netns path:" + kNsFile + "\n" + kTag + "Open netns(" + kNsFile +
                ") fail:No such file or directory!\n",
            in_child(enter(own)));
  // A stale file that is not mounted is replaced by a fresh namespace.
  write_file(kNsFile);
  EXPECT_THAT(in_child([] { return create_netns_for_vsd(5); }), HasSubstr("The ns file is exist,delete first!\n"));
  EXPECT_NE(own, inode_of(kNsFile));
}

TEST_F(NetnsTest, FailuresOfTheSteps) {
  const std::pair<std::function<int()>, int> rows[] = {
      {[] { return create_netns_for_vsd(0); }, -1},
      {[] { return create_netns_for_vsd(16); }, -1},
      {[] { return delete_netns_for_vsd(-1); }, -1},
      {[] { return create_netns(nullptr, "x", getpid()) + create_netns("/tmp", nullptr, getpid()); }, -4},
      {[] { return create_netns_for_vsd(6); }, -1},  // no VSD root: no namespace directory
      {[] { return delete_netns_for_vsd(5); }, 0},   // a file that is not mounted: removed all the same
      {[] { return delete_netns_for_vsd(5); }, -1},  // no file
  };
  make_dirs({"/tmp/vsd/5", "/tmp/vsd/5/netns"}, 0777);
  write_file(kNsFile);
  for (const auto& [op, want] : rows) EXPECT_THAT(in_child(op), testing::StartsWith(std::to_string(want) + " "));
  EXPECT_FALSE(exists("/tmp/vsd/0/netns") || exists("/tmp/vsd/6"));
}

}  // namespace
}  // namespace kiv::test
