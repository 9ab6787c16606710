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

// VSD 2 made without /data2/, 1, 3 and 4 with it (1 with a member that
// ignores SIGTERM). Then delete, stop, reload, delete then create, and delete
// of a VSD without a namespace, in turn.
TEST_F(TeardownTest, CreatedVsdsRunTheirScriptsInsideThenEachTeardownRemovesItsColumn) {
  install_start_script();
  Hog earlier(0, {3100}), host(0, {}), look_alike(0, {13100});
  make_dirs({"/qn_cfg/vsd/1"}, 0700);  // an existing directory is opened up too
  write_file("/tmp/vsd_probe/ignterm.1");
  const bool cgroups = exists("/memory/tasks");
  for (const std::string n : {"1", "2", "3"})
    if (cgroups) make_dirs({"/memory/vsd_" + n, "/cpu/vsd_" + n});
  std::map<int, std::string> stay;
  std::map<int, unsigned long long> ns;
  for (int n : {2, 1, 3, 4}) {
    EXPECT_EQ("", capture_stdout([n] { EXPECT_EQ(0, create_vsd(n)); }));
    if (n == 2)
      make_dirs({"/data2", "/data2/.talu", "/data2/.talu/vsd", "/data2/var", "/data2/var/run", "/data2/var/run/vsd"});
    stay[n] = probe_report("vsd_probe_stay", std::to_string(n))["pid"];
    ns[n] = inode_of("/tmp/vsd/" + std::to_string(n) + "/netns/default");
  }
  for (const std::string n : {"1", "2"}) {
    EXPECT_EQ("vsd\n", read_file("/tmp/vsd_probe/runs." + n));  // once, with the runner's argument
    EXPECT_NE(inode_of("/proc/self/ns/net"), inode_of("/tmp/vsd/" + n + "/netns/default"));
    const std::string pinned = std::to_string(inode_of("/tmp/vsd/" + n + "/netns/default"));
    EXPECT_EQ(vsd_view(n, pinned, "/sbin/vsd_probe_start", n == "1"), without_pid(probe_report("vsd_probe_start", n)));
    for (const std::string dir : {"/qn_cfg/vsd/", "/talu/vsd/", "/data/.talu/vsd/", "/etc/vsd/", "/tmp/vsd/",
                                  "/data/var/run/vsd/", "/data2/.talu/vsd/", "/data2/var/run/vsd/"})
      EXPECT_EQ(dir.rfind("/data2", 0) == 0 && n == "2" ? -1 : 0777, mode_of(dir + n)) << dir;
    for (const std::string dir : {"/kiv", "/kiv/db"}) EXPECT_EQ(0777, mode_of("/tmp/vsd/" + n + dir));
    EXPECT_THAT(read_file("/tmp/vsd/" + n + "/starttime"), MatchesRegex("[0-9]+\\.[0-9]+ [0-9]+\\.[0-9]+\n"));
    EXPECT_EQ(0754, mode_of("/tmp/vsd/" + n + "/starttime"));
    EXPECT_EQ(0754, mode_of("/tmp/vsd/" + n + "/kiv/" + stay[std::stoi(n)]));  // what the scripts left running
  }
  EXPECT_EQ(nullptr, getenv("TMPDIR"));  // the caller stays as it was
  // What carried the group before is a member too; no host process, no
  // other VSD's, not the caller.
  for (const std::string& pid : {std::to_string(earlier.pid()), std::to_string(host.pid()), stay[2],
                                std::to_string(look_alike.pid()), std::to_string(getpid())})
    EXPECT_EQ(pid == std::to_string(earlier.pid()), exists("/tmp/vsd/1/kiv/" + pid)) << pid;
  const std::string stubborn = probe_report("vsd_probe_ignterm", "1")["pid"];
  const std::string start3 = read_file("/tmp/vsd/3/starttime");
  make_dirs({"/tmp/vsd/5", "/etc/vsd/5"});
  const std::pair<std::function<int()>, int> ops[] = {
      {[] { return delete_vsd(1); }, 0},  {[] { return stop_vsd(2); }, 0}, {[] { return reload_vsd(3); }, 0},
      {[] { return delete_vsd(4) != 0 ? -100 : create_vsd(4); }, 0},
      {[] { return delete_vsd(5); }, -1}};  // no namespace to remove: it stops there
  for (int n = 1; n <= 5; ++n) {
    const std::string s = std::to_string(n), marker = "/tmp/vsd/" + s + "/delete_vsd";
    g_waits.clear();
    g_at_wait = [&] { return std::string(exists(marker) ? "m" : "") + (n == 1 && !gone(stubborn) ? "+" : ""); };
    int r = 0;
    EXPECT_EQ("Sending vsd: " + s + " all processes the TERM signal...\nAfter 5s, Sending vsd: " + s +
                  " all processes the KILL signal...\nAfter 10s, Delete vsd: " + s + " OK.\n",
              capture_stdout([&] { r = ops[n - 1].first(); }));
    EXPECT_EQ(ops[n - 1].second, r) << n;
    // Marked throughout; SIGTERM ignored, the stubborn member outlived the first wait only.
    EXPECT_EQ(n == 1 ? "5m+ 10m " : "5m 10m ", g_waits) << n;
    EXPECT_EQ(n == 5, exists(marker)) << n;
  }
  g_at_wait = nullptr;
  EXPECT_TRUE(exists("/tmp/vsd_probe/vsd_probe_ignterm.1.term"));
  for (int n : {1, 2, 3, 4}) EXPECT_TRUE(gone(stay[n])) << n;
  EXPECT_EQ(0u, inode_of("/tmp/vsd/1/netns/default"));
  EXPECT_EQ(ns[2], inode_of("/tmp/vsd/2/netns/default"));                 // stop keeps the namespace pinned,
  EXPECT_EQ(std::vector<std::string>{"netns"}, list_dir("/tmp/vsd/2"));  // and what holds it
  EXPECT_EQ(ns[3], inode_of("/tmp/vsd/3/netns/default"));  // so does reload: no second run of the scripts
  EXPECT_EQ("vsd\n", read_file("/tmp/vsd_probe/runs.3"));
  EXPECT_NE(start3, read_file("/tmp/vsd/3/starttime"));
  EXPECT_NE(ns[4], inode_of("/tmp/vsd/4/netns/default"));  // delete then create: all anew
  EXPECT_EQ("vsd\nvsd\n", read_file("/tmp/vsd_probe/runs.4"));
  // What each column removes ('-') and keeps.
  const std::string cg = cgroups ? "/" : "-/";
  for (const std::string& path : std::vector<std::string>{
           "-/tmp/vsd/1", "-/etc/vsd/1", "-/data/var/run/vsd/1", "-/data/.talu/vsd/1", "-/data2/.talu/vsd/1",
           "-/data2/var/run/vsd/1", "-/qn_cfg/vsd/1", "-/talu/vsd/1", "-/memory/vsd_1", "-/cpu/vsd_1", "-/etc/vsd/2",
           "-/memory/vsd_2", "-/cpu/vsd_2", "/data/var/run/vsd/2", "/data/.talu/vsd/2", "/qn_cfg/vsd/2", "/talu/vsd/2",
           "/tmp/vsd/3/kiv/db", "-/tmp/vsd/3/kiv/" + stay[3], "/etc/vsd/3", cg + "memory/vsd_3", cg + "cpu/vsd_3",
           "-/tmp/vsd/4/kiv/" + stay[4], "/etc/vsd/5"})
    EXPECT_EQ(path[0] != '-', exists(path.substr(path[0] == '-'))) << path;
}

// Refused: nothing is signalled. The id matches as text, anywhere in the list.
TEST_F(TeardownTest, GroupSignalMatchesTheIdAsText) {
  Hog host_like(0, {3000}), far(0, {12900}), exact(0, {3100}), longer(0, {13100}), second(0, {1000, 3100});
  EXPECT_EQ(-2 - 2 * ENOENT, delete_vsd(0) + delete_vsd(16) + stop_vsd(99) + reload_vsd(99));
  EXPECT_TRUE(host_like.running() && far.running() && exact.running());
  EXPECT_EQ(0, kill_proc_by_groups(SIGTERM, 3100));
  for (Hog* h : {&exact, &longer, &second}) EXPECT_TRUE(h->killed_by(SIGTERM)) << h->pid();
  EXPECT_TRUE(host_like.running());
}

TEST_F(TeardownTest, ShowVsdListsRecordedMembers) {
  make_member_dir(3);
  make_member_dir(12, {123, 4567});
  make_dirs({"/tmp/vsd/4"});
  const std::string out = capture_stdout([] { EXPECT_EQ(0, show_vsd()); });
  EXPECT_THAT(out, MatchesRegex("Vsd_3: /tmp/vsd/3/kiv/\ndb\nVsd_12: /tmp/vsd/12/kiv/\n((123|4567|db)\n){3}"));
  EXPECT_EQ(1, count_of(out, "\n123\n") * count_of(out, "\n4567\n"));
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
    ASSERT_TRUE(wait_for_file("/tmp/vsd/8/d", 2000) && wait_for_file("/tmp/vsd/8/l", 2000));
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
