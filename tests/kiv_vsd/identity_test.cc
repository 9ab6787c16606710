// A process's VSD number, the pid-name and /sbin/ tests, the device-monitor
// and debug markers, and the network namespaces pinned on a VSD's file.
#include <grp.h>

#include "base/pid_walk.h"
#include "support/vsd_world.h"

namespace kiv::test {
namespace {

using IdentityTest = VsdTest;
using NetnsTest = VsdTest;

TEST_F(IdentityTest, VsdNumberFollowsTheFirstSupplementaryGroup) {
  const std::pair<std::vector<gid_t>, int> rows[] = {  // the kernel sorts the groups; the first counts
      {{3200, 3500}, 2}, {{3500, 3200}, 2}, {{}, -30}, {{3000}, 0}, {{3099}, 0}, {{2901}, 0}, {{3100}, 1},
      {{3199}, 1}, {{4500}, 15}, {{2900}, -1}, {{4600}, 16}, {{13100}, 101},
      {{2147483648u}, -21474866}};  // reads as INT_MIN, minus 3000 without overflow
  for (const auto& [groups, want] : rows) EXPECT_EQ(want, get_vsdid(Hog(0, groups).pid())) << groups.size();
  EXPECT_EQ(-ENOENT, get_vsdid(ended_pid()));
}

TEST_F(IdentityTest, PidsAreNamesOfDigitsOnly) {
  const std::pair<const char*, pid_t> rows[] = {
      {"4711", 4711}, {"2147483647", 2147483647}, {"0", 0}, {"", 0}, {"12a", 0}, {"-12", 0}, {"+12", 0},
      {" 12", 0}, {"12 ", 0}, {"self", 0}, {"2147483648", 0}, {"4294967297", 0}, {nullptr, 0}};
  for (const auto& [name, pid] : rows) EXPECT_EQ(pid, pid_of_name(name)) << (name != nullptr ? name : "null");
}

// The entry counts, not its target: vsd_probe_x is a dangling link.
TEST_F(IdentityTest, SbinEntryByExactName) {
  install_probe("vsd_probe_x");
  make_dirs({"/sbin/vsd_probe_dir", "/tmp/emptyroot"});
  const std::string long_name(300, 'x');
  const std::pair<const char*, int> rows[] = {
      {"vsd_probe_x", 1}, {"vsd_probe_dir", 1}, {"vsd_probe_", 0}, {"vsd_probe_x_", 0}, {"vsd_probe_dir/x", 0},
      {".", 0}, {"..", 0}, {"", 0}, {"vsd_probe_dir/", 0}, {long_name.c_str(), 0}, {nullptr, 0}};
  for (const auto& [name, want] : rows) EXPECT_EQ(want, check_sbin(name)) << (name != nullptr ? name : "null");
  ASSERT_EQ(0, rmdir("/sbin/vsd_probe_dir"));
  EXPECT_TRUE(run_in_child([] { return chroot("/tmp/emptyroot") != 0 ? 99 : -check_sbin("sh"); }).exited(ENOENT));
  // Readable but not searchable: the listing still tells.
  struct stat st;
  ASSERT_EQ(0, stat("/sbin/", &st));
  ASSERT_EQ(0, chmod("/sbin/", 0744));
  const ChildResult run = run_in_child([] {
    if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) return 99;
    return check_sbin("vsd_probe_x") * 10 + check_sbin("vsd_probe_");
  });
  ASSERT_EQ(0, chmod("/sbin/", st.st_mode & 07777));
  EXPECT_TRUE(run.exited(10)) << run.status;
}

// Steps in turn: a call, its result, whether /etc/dev_mon is there after it.
TEST_F(IdentityTest, MarkersAreCreatedTestedAndRemovedSilently) {
  const struct {
    int (*op)();
    int want;
    bool dev_mon;
  } rows[] = {{del_dev_mon_log, -ENOENT, false}, {del_dev_mon_restart, -ENOENT, false}, {debug_log, -ENOENT, false},
              {dev_mon_restart, 0, true},        {dev_mon_restart, 0, true},            {del_dev_mon_log, 0, true},
              {debug_log, -ENOENT, true},        {del_dev_mon_restart, 0, false},
              {del_dev_mon_restart, -ENOENT, false}};
  EXPECT_EQ("", logged([&] {
    for (const auto& row : rows) EXPECT_EQ(row.want * 10 + row.dev_mon, row.op() * 10 + exists("/etc/dev_mon"));
  }));
  EXPECT_EQ(0, dev_mon_restart());
  EXPECT_EQ(0754, mode_of("/etc/dev_mon"));
  write_file("/etc/dev_mon", "content", 0640);  // an existing marker is left as it is
  write_file("/etc/debug_log");
  EXPECT_EQ(0, dev_mon_restart() + debug_log());
  EXPECT_EQ("content", read_file("/etc/dev_mon"));
  ASSERT_EQ(0, unlink("/etc/dev_mon"));
  make_dirs({"/etc/dev_mon"});  // cannot be opened for writing: not removed either
  EXPECT_EQ(-EISDIR * 2, del_dev_mon_log() + del_dev_mon_restart());
  EXPECT_TRUE(exists("/etc/dev_mon"));
}

// op run in a child (it moves its caller), with the log on: its result,
// then its log.
std::string in_child(const std::function<int()>& op) {
  const ChildResult run = run_in_child([&] {
    g_kiv_dbg_level[KIV_DBG_LIB] = 0;
    return op() + 10;
  });
  return std::to_string(exit_code(run) - 10) + " " + without_line_numbers(run.output);
}

TEST_F(NetnsTest, PinnedNamespaceOutlivesItsCreatorUntilDeleted) {
  const std::string file = "/tmp/vsd/5/netns/default", path_line = kTag + "vsd5 netns path:" + file + "\n";
  const auto create = [] { return create_netns_for_vsd(5); };
  make_dirs({"/tmp/vsd/5"});
  const unsigned long long own = inode_of("/proc/self/ns/net");
  EXPECT_THAT(in_child(create), testing::StartsWith("0 "));
  EXPECT_EQ(0755, mode_of("/tmp/vsd/5/netns"));  // 0777 less the umask: no chmod
  const unsigned long long pinned = inode_of(file);
  EXPECT_NE(own, pinned);
  // The creator has ended; a new process still joins the same namespace.
  const auto enter = [](unsigned long long want) {
    return [want] { return reassociate_netns_to_vsd(5) * 10 + (inode_of("/proc/self/ns/net") == want ? 1 : 2); };
  };
  EXPECT_EQ("1 " + path_line, in_child(enter(pinned)));
  // A mounted namespace file cannot be replaced.
  EXPECT_THAT(in_child(create), MatchesRegex("-1 (.|\n)*The ns file is exist,delete first!\n"
                                             ".*Delete net ns fail:Device or resource busy!\n"));
  EXPECT_EQ(pinned, inode_of(file));
  EXPECT_EQ(0, delete_netns_for_vsd(5));
  EXPECT_EQ(std::vector<std::string>{}, list_dir("/tmp/vsd/5/netns"));  // the directory goes with the VSD root
  // Entering a namespace that is gone fails and leaves the caller where it was.
  EXPECT_EQ("-9 " + path_line + kTag + "Open netns(" + file + ") fail:No such file or directory!\n",
            in_child(enter(own)));
  EXPECT_EQ(-1, delete_netns_for_vsd(5));
  write_file(file);  // a stale file that is not mounted is removed all the same,
  EXPECT_THAT(in_child([] { return delete_netns_for_vsd(5); }), MatchesRegex("0 (.|\n)*Umount net ns fail:(.|\n)*"));
  write_file(file);  // and replaced by a fresh namespace
  EXPECT_THAT(in_child(create), HasSubstr("The ns file is exist,delete first!\n"));
  EXPECT_NE(own, inode_of(file));
  // Refusals that touch nothing.
  for (int n : {0, 16}) {
    const std::string refused = "-1 " + kTag + "Unkown vsd id:" + std::to_string(n) + "\n";
    EXPECT_EQ(refused, in_child([n] { return create_netns_for_vsd(n); }));
    EXPECT_EQ(refused, in_child([n] { return delete_netns_for_vsd(n); }));
  }
  EXPECT_EQ(-4, create_netns(nullptr, "x", getpid()) + create_netns("/tmp", nullptr, getpid()));
  EXPECT_THAT(in_child([] { return create_netns_for_vsd(6); }), testing::StartsWith("-1 "));  // no VSD root
  EXPECT_FALSE(exists("/tmp/vsd/0/netns") || exists("/tmp/vsd/16") || exists("/tmp/vsd/6"));
}

}  // namespace
}  // namespace kiv::test
