// Creating a VSD: the start scripts run inside it and its members are
// recorded.
#include <errno.h>
#include <stdlib.h>
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
using ::testing::Not;

class CreateTest : public VsdTest {
 protected:
  void SetUp() override {
    VsdTest::SetUp();
    if (IsSkipped()) return;
    install_start_script();
    old_umask_ = umask(022);
  }
  void TearDown() override {
    umask(old_umask_);
    VsdTest::TearDown();
  }

 private:
  mode_t old_umask_ = 022;
};

std::string member(int n, pid_t pid) {
  return "/tmp/vsd/" + std::to_string(n) + "/kiv/" + std::to_string(pid);
}

std::vector<std::string> vsd_dirs(int n, bool data2) {
  const std::string s = std::to_string(n);
  std::vector<std::string> dirs = {"/qn_cfg/vsd/" + s, "/talu/vsd/" + s, "/data/.talu/vsd/" + s,
                                   "/etc/vsd/" + s,    "/tmp/vsd/" + s,  "/tmp/vsd/" + s + "/kiv",
                                   "/tmp/vsd/" + s + "/kiv/db", "/data/var/run/vsd/" + s};
  if (data2) {
    dirs.push_back("/data2/.talu/vsd/" + s);
    dirs.push_back("/data2/var/run/vsd/" + s);
  }
  return dirs;
}

TEST_F(CreateTest, StartScriptsRunInsideTheNewVsdAndMembersAreRecorded) {
  Hog earlier_member(0, {3100});
  Hog host(0, {});
  Hog other_vsd(0, {3200});
  Hog look_alike(0, {13100});
  ASSERT_EQ(0, mkdir("/qn_cfg/vsd/1", 0700));  // an existing directory is opened up too
  const unsigned long long own_ns = inode_of("/proc/self/ns/net");

  g_kiv_dbg_level[KIV_DBG_LIB] = 0;
  int r = -1;
  std::string out = capture_stdout([&] { r = create_vsd(1); });
  ASSERT_EQ(0, r);
  EXPECT_THAT(out, HasSubstr("create_vsd: Setgroups success\n"));
  EXPECT_THAT(out, HasSubstr("Create new net ns success:/tmp/vsd/1/netns/default\n"));

  // The scripts ran once, with the runner's argument, as the VSD.
  EXPECT_EQ("vsd\n", read_file("/tmp/vsd_probe/runs.1"));
  auto seen = probe_report("vsd_probe_start_once", "1");
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ("3100", seen["groups"]);
  EXPECT_EQ("/qn_cfg/vsd/1", seen["QN_CFG_DIR"]);
  EXPECT_EQ("/talu/vsd/1", seen["TALU_DIR"]);
  EXPECT_EQ("/data/.talu/vsd/1", seen["DATA_TALU_DIR"]);
  EXPECT_EQ("<unset>", seen["DATA_TALU_DIR2"]);
  EXPECT_EQ("/tmp/vsd/1", seen["TMPDIR"]);
  EXPECT_EQ("/data/var/run/vsd/1", seen["cwd"]);
  const unsigned long long pinned = inode_of("/tmp/vsd/1/netns/default");
  EXPECT_EQ(std::to_string(pinned), seen["netns"]);
  EXPECT_NE(own_ns, pinned);
  EXPECT_EQ(own_ns, inode_of("/proc/self/ns/net"));  // the caller stays where it was
  EXPECT_EQ(nullptr, getenv("TMPDIR"));

  for (const auto& dir : vsd_dirs(1, false)) EXPECT_EQ(0777, mode_of(dir)) << dir;
  EXPECT_FALSE(exists("/data2/.talu/vsd/1"));
  EXPECT_THAT(read_file("/tmp/vsd/1/starttime"), MatchesRegex("[0-9]+\\.[0-9]+ [0-9]+\\.[0-9]+\n"));
  EXPECT_EQ(0754, mode_of("/tmp/vsd/1/starttime"));

  // Members: what the scripts left running and what carried the group
  // before; no host process, no other VSD's, not the caller.
  auto stay = probe_report("vsd_probe_stay", "1");
  ASSERT_FALSE(stay["pid"].empty());
  EXPECT_TRUE(exists("/tmp/vsd/1/kiv/" + stay["pid"]));
  EXPECT_EQ(0754, mode_of("/tmp/vsd/1/kiv/" + stay["pid"]));
  EXPECT_TRUE(exists(member(1, earlier_member.pid())));
  EXPECT_FALSE(exists(member(1, host.pid())));
  EXPECT_FALSE(exists(member(1, other_vsd.pid())));
  EXPECT_FALSE(exists(member(1, look_alike.pid())));
  EXPECT_FALSE(exists(member(1, getpid())));

  // Created again while its namespace is still pinned: the creation stops
  // at the namespace, so the scripts do not run a second time.
  out = capture_stdout([&] { r = create_vsd(1); });
  EXPECT_EQ(0, r);
  EXPECT_THAT(out, HasSubstr("Delete net ns fail"));
  EXPECT_EQ("vsd\n", read_file("/tmp/vsd_probe/runs.1"));
  EXPECT_EQ(pinned, inode_of("/tmp/vsd/1/netns/default"));
}

TEST_F(CreateTest, SecondDataPartitionGetsItsDirectoriesAndVariable) {
  for (const char* d : {"/data2", "/data2/.talu", "/data2/.talu/vsd", "/data2/var", "/data2/var/run",
                        "/data2/var/run/vsd"})
    ASSERT_EQ(0, mkdir(d, 0755)) << d;
  ASSERT_EQ(0, capture_stdout([] { EXPECT_EQ(0, create_vsd(2)); }).size());

  auto seen = probe_report("vsd_probe_start_once", "2");
  EXPECT_EQ("3200", seen["groups"]);
  EXPECT_EQ("/data2/.talu/vsd/2", seen["DATA_TALU_DIR2"]);
  EXPECT_EQ("/data/.talu/vsd/2", seen["DATA_TALU_DIR"]);
  EXPECT_EQ("/data/var/run/vsd/2", seen["cwd"]);
  for (const auto& dir : vsd_dirs(2, true)) EXPECT_EQ(0777, mode_of(dir)) << dir;
  auto stay = probe_report("vsd_probe_stay", "2");
  EXPECT_TRUE(exists(member(2, atoi(stay["pid"].c_str()))));
}

// The last pid handed out in this pid namespace (fifth field of
// /proc/loadavg): unchanged as long as nobody forks.
std::string last_pid() {
  std::string fields = read_file("/proc/loadavg");
  return fields.substr(fields.rfind(' ') + 1);
}

TEST_F(CreateTest, NumbersOutsideOneToFifteenAreRefusedBeforeAnyFork) {
  g_kiv_dbg_level[KIV_DBG_LIB] = 0;
  const std::string before = last_pid();
  for (int n : {0, 16, -1}) {
    int r = 0;
    std::string out = capture_stdout([&] { r = create_vsd(n); });
    EXPECT_EQ(-1, r);
    EXPECT_THAT(out, MatchesRegex("\\[KIV:kiv_vsd:[0-9]+\\]Bad parameter vsd_no:" + std::to_string(n) + "\n"));
  }
  EXPECT_EQ(before, last_pid());
  EXPECT_TRUE(list_dir("/qn_cfg/vsd").empty());
}

TEST_F(CreateTest, FileSystemServiceFailureStopsBeforeTheDirectories) {
  g_kiv_dbg_level[KIV_DBG_LIB] = 0;
  setenv("FS_SERVICE_STUB_FAIL", "13", 1);  // the creation child inherits it
  int r = -1;
  std::string out = capture_stdout([&] { r = create_vsd(3); });
  unsetenv("FS_SERVICE_STUB_FAIL");
  EXPECT_EQ(0, r);  // a failure inside the child is only logged
  EXPECT_THAT(out, HasSubstr("create_vsd: fs get vsd envs fail: Permission denied\n"));
  EXPECT_THAT(out, Not(HasSubstr("net ns")));
  for (const auto& dir : vsd_dirs(3, false)) EXPECT_FALSE(exists(dir)) << dir;
  EXPECT_FALSE(exists("/tmp/vsd_probe/runs.3"));
}

}  // namespace
}  // namespace kiv::test
