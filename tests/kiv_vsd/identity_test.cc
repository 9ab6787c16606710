// A process's VSD number from its groups; the /sbin/ and digit tests.
#include <errno.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "base/pid_walk.h"
#include "kiv_vsd.h"
#include "support/vsd_world.h"

namespace kiv::test {
namespace {

using IdentityTest = VsdTest;

TEST_F(IdentityTest, VsdNumberFollowsTheFirstSupplementaryGroup) {
  struct Case {
    std::vector<gid_t> groups;
    int want;
  };
  const Case cases[] = {
      {{3200, 3500}, 2},  // only the first id counts
      {{3500, 3200}, 2},  // the kernel keeps the list sorted
      {{}, -30},          // no group at all: host
      {{3000}, 0},
      {{3099}, 0},
      {{2901}, 0},
      {{3100}, 1},
      {{3199}, 1},
      {{4500}, 15},
      {{2900}, -1},
      {{4600}, 16},
      {{13100}, 101},
      {{2147483648u}, -21474866},  // reads as INT_MIN, minus 3000 without overflow
  };
  for (const Case& c : cases) {
    Hog holder(0, c.groups);
    EXPECT_EQ(c.want, get_vsdid(holder.pid())) << "first group " << (c.groups.empty() ? 0 : c.groups[0]);
  }
}

TEST_F(IdentityTest, GoneProcessGivesMinusEnoent) {
  EXPECT_EQ(-ENOENT, get_vsdid(ended_pid()));
}

// The one rule for pid-named entries of /proc and the member directories.
TEST_F(IdentityTest, PidNameRule) {
  const struct {
    const char* name;
    pid_t pid;
  } cases[] = {
      {"1", 1},       {"4711", 4711}, {"2147483647", 2147483647}, {"0", 0},      {"", 0},
      {"12a", 0},     {"-12", 0},     {"+12", 0},                 {" 12", 0},    {"12 ", 0},
      {"self", 0},    {"2147483648", 0}, {"4294967297", 0},       {nullptr, 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.pid, kiv::pid_of_name(c.name)) << (c.name != nullptr ? c.name : "(null)");
  }
}

TEST_F(IdentityTest, SbinEntryByExactName) {
  install_probe("vsd_probe_sbin_test");
  ASSERT_EQ(0, mkdir("/sbin/vsd_probe_dir", 0755));
  EXPECT_EQ(1, check_sbin("vsd_probe_sbin_test"));
  EXPECT_EQ(1, check_sbin("vsd_probe_dir"));  // any kind of entry counts
  EXPECT_EQ(0, check_sbin("vsd_probe_sbin"));  // no prefix match
  EXPECT_EQ(0, check_sbin("vsd_probe_sbin_test_"));
  EXPECT_EQ(0, check_sbin("vsd_probe_dir/x"));
  EXPECT_EQ(0, check_sbin("."));
  EXPECT_EQ(0, check_sbin(".."));
  EXPECT_EQ(0, check_sbin(""));
  EXPECT_EQ(0, check_sbin("vsd_probe_dir/"));  // names a listed directory, but no entry is named so
  EXPECT_EQ(0, check_sbin("../sbin/vsd_probe_dir"));
  EXPECT_EQ(0, check_sbin(std::string(300, 'x').c_str()));
  EXPECT_EQ(0, check_sbin(nullptr));
  ASSERT_EQ(0, symlink("/nowhere", "/sbin/vsd_probe_dangling"));
  EXPECT_EQ(1, check_sbin("vsd_probe_dangling"));  // the entry counts, not its target
  ASSERT_EQ(0, unlink("/sbin/vsd_probe_dangling"));
  ASSERT_EQ(0, rmdir("/sbin/vsd_probe_dir"));
}

TEST_F(IdentityTest, SbinThatCanBeReadButNotSearchedIsStillListed) {
  install_probe("vsd_probe_sbin_test");
  struct stat st;
  ASSERT_EQ(0, stat("/sbin/", &st));
  ASSERT_EQ(0, chmod("/sbin/", 0744));
  ChildResult run = run_in_child([] {
    if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) return 99;
    return check_sbin("vsd_probe_sbin_test") * 10 + check_sbin("vsd_probe_sbin");
  });
  ASSERT_EQ(0, chmod("/sbin/", st.st_mode & 07777));
  EXPECT_TRUE(run.exited(10)) << run.status;
}

TEST_F(IdentityTest, SbinThatCannotBeOpenedGivesNegatedErrno) {
  const std::string root = std::string(kProbeDir) + "/emptyroot";
  ASSERT_EQ(0, mkdir(root.c_str(), 0755));
  ChildResult run = run_in_child([&] {
    if (chroot(root.c_str()) != 0) return 99;
    return check_sbin("sh") == -ENOENT ? 0 : 1;
  });
  EXPECT_TRUE(run.exited(0)) << run.status;
}

}  // namespace
}  // namespace kiv::test
