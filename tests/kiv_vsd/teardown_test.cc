// VSDs created, then torn down: the start scripts inside them, signalling by
// group, what each operation removes, reload, the member listing and the
// tree removal itself.
#include <fcntl.h>
#include <grp.h>
#include <sys/mount.h>

#include "support/vsd_world.h"

// The teardown's waits (5 s after SIGTERM, 10 s after SIGKILL) are the
// library's sleep() calls. This binary's own sleep() comes before libc's in
// symbol lookup: each wait lasts a hundredth of its length and is noted
// here, with what at_wait() says at its end.
namespace kiv::test {
std::string g_waits;
std::function<std::string()> g_at_wait;
}  // namespace kiv::test

extern "C" unsigned int sleep(unsigned int seconds) {
  using namespace kiv::test;
  usleep(seconds * 10000);
  g_waits += std::to_string(seconds) + (g_at_wait ? g_at_wait() : "") + " ";
  return 0;
}

namespace kiv::test {
namespace {

using TeardownTest = VsdTest;

// Ended (reaped, or a zombie waiting for pid 1).
bool gone(const std::string& pid) {
  const std::string stat = read_file("/proc/" + pid + "/stat");
  return stat.empty() || stat.find(") Z ") != std::string::npos;
}

// VSDs 2, 1 and 3 made in turn (1 with a member that ignores SIGTERM), then
// delete 1, stop 2 and reload 3.
TEST_F(TeardownTest, CreatedVsdsRunTheirScriptsInsideThenEachTeardownRemovesItsColumn) {
  install_start_script();
  // Carries VSD 1's group before VSD 1 is made: recorded as its member then,
  // and none of VSD 2's business.
  Hog earlier(0, {3100});
  write_file("/tmp/vsd_probe/ignterm.1");
  std::map<int, std::string> stay;
  std::map<int, unsigned long long> ns;
  for (int n : {2, 1, 3}) {
    const std::string s = std::to_string(n);
    EXPECT_EQ("", capture_stdout([n] { EXPECT_EQ(0, create_vsd(n)); }));
    stay[n] = probe_report("vsd_probe_stay", s)["pid"];
    ns[n] = inode_of("/tmp/vsd/" + s + "/netns/default");
    EXPECT_EQ("vsd\n", read_file("/tmp/vsd_probe/runs." + s));  // once, with the runner's argument
    EXPECT_EQ(vsd_view(s, std::to_string(ns[n]), "/sbin/vsd_probe_start"),
              without_pid(probe_report("vsd_probe_start", s)));
    EXPECT_THAT(read_file("/tmp/vsd/" + s + "/starttime"), MatchesRegex("[0-9]+\\.[0-9]+ [0-9]+\\.[0-9]+\n"));
    EXPECT_TRUE(exists("/tmp/vsd/" + s + "/kiv/" + stay[n]));  // what the scripts left running
  }
  EXPECT_TRUE(exists("/tmp/vsd/1/kiv/" + std::to_string(earlier.pid())));
  const std::string stubborn = probe_report("vsd_probe_ignterm", "1")["pid"];
  const std::function<int()> ops[] = {[] { return delete_vsd(1); }, [] { return stop_vsd(2); },
                                      [] { return reload_vsd(3); }};
  for (int n = 1; n <= 3; ++n) {
    const std::string s = std::to_string(n), marker = "/tmp/vsd/" + s + "/delete_vsd";
    g_waits.clear();
    g_at_wait = [&] { return std::string(exists(marker) ? "m" : "") + (n == 1 && !gone(stubborn) ? "+" : ""); };
    EXPECT_EQ("Sending vsd: " + s + " all processes the TERM signal...\nAfter 5s, Sending vsd: " + s +
                  " all processes the KILL signal...\nAfter 10s, Delete vsd: " + s + " OK.\n",
              capture_stdout([&] { EXPECT_EQ(0, ops[n - 1]()) << n; }));
    // Marked throughout; SIGTERM ignored, the stubborn member outlived the first wait only.
    EXPECT_EQ(n == 1 ? "5m+ 10m " : "5m 10m ", g_waits) << n;
    EXPECT_FALSE(exists(marker)) << n;
    EXPECT_TRUE(gone(stay[n])) << n;
  }
  g_at_wait = nullptr;
  EXPECT_EQ(0u, inode_of("/tmp/vsd/1/netns/default"));
  EXPECT_EQ(ns[2], inode_of("/tmp/vsd/2/netns/default"));  // stop keeps the namespace pinned,
  EXPECT_EQ(ns[3], inode_of("/tmp/vsd/3/netns/default"));  // so does reload: no second run of the scripts
  EXPECT_EQ("vsd\n", read_file("/tmp/vsd_probe/runs.3"));
  // What each teardown removes ('-') and keeps.
  for (const std::string path : {"-/tmp/vsd/1", "-/etc/vsd/1", "-/data/.talu/vsd/1", "-/qn_cfg/vsd/1", "-/etc/vsd/2",
                                 "/data/.talu/vsd/2", "/qn_cfg/vsd/2", "/tmp/vsd/3/kiv/db", "/etc/vsd/3"})
    EXPECT_EQ(path[0] != '-', exists(path.substr(path[0] == '-'))) << path;
}

// An unprivileged neighbour swaps a directory of the world-writable tree
// with a link to root's files, again and again, while root removes the
// tree. Links to the outside sit in the tree and one tree is itself a link;
// a bind mount of the same file system sits inside as well.
TEST_F(TeardownTest, RemovalStaysInsideItsTreesWhileANeighbourSwapsLinks) {
  constexpr int kRounds = 300, kVictims = 20;
  make_dirs({"/data/victim", "/data/victim/sub", "/tmp/bound_src", "/qn_cfg/vsd/8"});  // the mount: on the tree's tmpfs
  for (int i = 0; i < kVictims; ++i) write_file("/data/victim/f" + std::to_string(i), "root");
  write_file("/tmp/bound_src/keep", "root");
  ASSERT_EQ(0, chmod("/tmp/vsd", 0755));
  Child racer([] {
    if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) return 1;
    for (;;) {
      (void)mkdir("/tmp/vsd/8/d", 0777);
      close(open("/tmp/vsd/8/d/x", O_CREAT | O_WRONLY | O_CLOEXEC, 0666));
      (void)symlink("/data/victim", "/tmp/vsd/8/l");
      (void)renameat2(AT_FDCWD, "/tmp/vsd/8/d", AT_FDCWD, "/tmp/vsd/8/l", RENAME_EXCHANGE);
    }
  });
  for (int round = 0; round < kRounds; ++round) {
    make_dirs({"/tmp/vsd/8", "/tmp/vsd/8/bound", "/tmp/vsd/8/s", "/tmp/vsd/8/s/t", "/etc/vsd/8"}, 0777);
    ASSERT_EQ(0, chmod("/tmp/vsd/8", 0777));
    for (auto [to, link] : {std::pair{"/data/victim", "/etc/vsd/8/dir"}, {"/data/victim/f0", "/etc/vsd/8/file"},
                            {"/nowhere", "/etc/vsd/8/broken"}, {"/data/victim", "/data/var/run/vsd/8"}})
      ASSERT_EQ(0, symlink(to, link));
    write_file("/tmp/vsd/8/s/t/.hidden");
    ASSERT_EQ(0, mount("/tmp/bound_src", "/tmp/vsd/8/bound", nullptr, MS_BIND, nullptr));
    // The racer's pair is in place before the removal starts.
    ASSERT_TRUE(wait_until([] { return exists("/tmp/vsd/8/d") && exists("/tmp/vsd/8/l"); }, 2000));
    EXPECT_EQ(0, delete_vsd_file(8));
    ASSERT_EQ(0, umount("/tmp/vsd/8/bound"));
    EXPECT_FALSE(exists("/etc/vsd/8") || exists("/data/var/run/vsd/8") || exists("/tmp/vsd/8/s"));
    // Out of the racer's reach before it is cleared away.
    if (rename("/tmp/vsd/8", "/tmp/vsd/old") == 0) remove_tree("/tmp/vsd/old");
    ASSERT_EQ(kVictims + 1, static_cast<int>(list_dir("/data/victim").size())) << "round " << round;
    ASSERT_EQ(std::vector<std::string>{"keep"}, list_dir("/tmp/bound_src")) << "round " << round;
    ASSERT_TRUE(exists("/qn_cfg/vsd/8"));  // not in the column
  }
  ASSERT_EQ(0, kill(racer.pid(), SIGKILL));
  EXPECT_TRUE(racer.wait().signaled(SIGKILL));
}

}  // namespace
}  // namespace kiv::test
