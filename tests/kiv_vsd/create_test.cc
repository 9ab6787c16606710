// Creating a VSD: the start scripts run inside it and its members are
// recorded.
#include "support/vsd_world.h"

namespace kiv::test {
namespace {

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
  mode_t old_umask_ = 022;
};

std::vector<std::string> vsd_dirs(const std::string& s) {
  return {"/qn_cfg/vsd/" + s, "/talu/vsd/" + s, "/data/.talu/vsd/" + s, "/etc/vsd/" + s, "/tmp/vsd/" + s,
          "/tmp/vsd/" + s + "/kiv", "/tmp/vsd/" + s + "/kiv/db", "/data/var/run/vsd/" + s};
}

// VSD 1 without /data2/, VSD 2 with it.
TEST_F(CreateTest, StartScriptsRunInsideTheNewVsdAndMembersAreRecorded) {
  Hog earlier(0, {3100}), host(0, {}), other_vsd(0, {3200}), look_alike(0, {13100});
  make_dirs({"/qn_cfg/vsd/1"}, 0700);  // an existing directory is opened up too
  const unsigned long long own_ns = inode_of("/proc/self/ns/net");
  ASSERT_EQ("", capture_stdout([] { EXPECT_EQ(0, create_vsd(1)); }));
  make_dirs({"/data2", "/data2/.talu", "/data2/.talu/vsd", "/data2/var", "/data2/var/run", "/data2/var/run/vsd"});
  capture_stdout([] { EXPECT_EQ(0, create_vsd(2)); });

  for (const std::string n : {"1", "2"}) {
    EXPECT_EQ("vsd\n", read_file("/tmp/vsd_probe/runs." + n));  // once, with the runner's argument
    const std::string pinned = std::to_string(inode_of("/tmp/vsd/" + n + "/netns/default"));
    const std::map<std::string, std::string> want = {
        {"groups", n == "1" ? "3100" : "3200"}, {"QN_CFG_DIR", "/qn_cfg/vsd/" + n}, {"TALU_DIR", "/talu/vsd/" + n},
        {"DATA_TALU_DIR", "/data/.talu/vsd/" + n}, {"DATA_TALU_DIR2", n == "1" ? "<unset>" : "/data2/.talu/vsd/2"},
        {"TMPDIR", "/tmp/vsd/" + n}, {"cwd", "/data/var/run/vsd/" + n}, {"netns", pinned},
        {"argv", "/sbin/vsd_probe_start"}};
    auto seen = probe_report("vsd_probe_start", n);
    seen.erase("pid");
    EXPECT_EQ(want, seen);
    EXPECT_NE(std::to_string(own_ns), pinned);
    std::vector<std::string> dirs = vsd_dirs(n);
    if (n == "2") dirs.insert(dirs.end(), {"/data2/.talu/vsd/2", "/data2/var/run/vsd/2"});
    for (const auto& dir : dirs) EXPECT_EQ(0777, mode_of(dir)) << dir;
    EXPECT_THAT(read_file("/tmp/vsd/" + n + "/starttime"), MatchesRegex("[0-9]+\\.[0-9]+ [0-9]+\\.[0-9]+\n"));
    EXPECT_EQ(0754, mode_of("/tmp/vsd/" + n + "/starttime"));
    // What the scripts left running is a member.
    EXPECT_EQ(0754, mode_of("/tmp/vsd/" + n + "/kiv/" + probe_report("vsd_probe_stay", n)["pid"]));
  }
  EXPECT_FALSE(exists("/data2/.talu/vsd/1"));
  EXPECT_EQ(own_ns, inode_of("/proc/self/ns/net"));  // the caller stays as it was
  EXPECT_EQ(nullptr, getenv("TMPDIR"));
  // What carried the group before is a member too; no host process, no
  // other VSD's, not the caller.
  for (pid_t pid : {earlier.pid(), host.pid(), other_vsd.pid(), look_alike.pid(), getpid()})
    EXPECT_EQ(pid == earlier.pid(), exists("/tmp/vsd/1/kiv/" + std::to_string(pid))) << pid;

  // Created again while its namespace is still pinned: the creation stops
  // at the namespace, so the scripts do not run a second time.
  const unsigned long long pinned = inode_of("/tmp/vsd/1/netns/default");
  EXPECT_THAT(logged([] { EXPECT_EQ(0, create_vsd(1)); }), HasSubstr("Delete net ns fail"));
  EXPECT_EQ("vsd\n", read_file("/tmp/vsd_probe/runs.1"));
  EXPECT_EQ(pinned, inode_of("/tmp/vsd/1/netns/default"));
}

TEST_F(CreateTest, RefusalsAndFailuresInsideTheChild) {
  // Numbers outside 1 to 15: refused before any fork (the last pid handed
  // out, the fifth field of /proc/loadavg, stays).
  const auto last_pid = [] {
    const std::string s = read_file("/proc/loadavg");
    return s.substr(s.rfind(' '));
  };
  const std::string before = last_pid();
  for (int n : {0, 16, -1}) EXPECT_EQ(-1, create_vsd(n)) << n;
  EXPECT_EQ(before, last_pid());
  EXPECT_TRUE(list_dir("/qn_cfg/vsd").empty());
  // The file-system service fails: the child stops before the directories.
  setenv("FS_SERVICE_STUB_FAIL", "13", 1);  // the creation child inherits it
  EXPECT_THAT(logged([] { EXPECT_EQ(0, create_vsd(3)); }),
              HasSubstr("]create_vsd: fs get vsd envs fail: Permission denied\n"));
  for (const auto& dir : vsd_dirs("3")) EXPECT_FALSE(exists(dir)) << dir;
}

}  // namespace
}  // namespace kiv::test
