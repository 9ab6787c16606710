// Tearing VSDs down: signalling by group, what each operation removes,
// reload, the member listing and the tree removal itself.
#include <fcntl.h>
#include <grp.h>
#include <sys/mount.h>

#include "support/vsd_world.h"

// The teardown's waits (5 s after SIGTERM, 10 s after SIGKILL) are the
// library's sleep() calls. This binary's own sleep() comes before libc's in
// symbol lookup: each wait is noted here, with what at_wait() says of the
// moment, and lasts a hundredth of its length.
namespace kiv::test {
std::string g_waits;
std::function<std::string()> g_at_wait;
}  // namespace kiv::test

extern "C" unsigned int sleep(unsigned int seconds) {
  using namespace kiv::test;
  g_waits += std::to_string(seconds) + (g_at_wait ? g_at_wait() : "") + " ";
  usleep(seconds * 10000);
  return 0;
}

namespace kiv::test {
namespace {

using TeardownTest = VsdTest;

std::string progress(int n) {
  const std::string s = std::to_string(n);
  return "Sending vsd: " + s + " all processes the TERM signal...\nAfter 5s, Sending vsd: " + s +
         " all processes the KILL signal...\nAfter 10s, Delete vsd: " + s + " OK.\n";
}

// Delete (with a member that ignores SIGTERM), stop, reload, delete then
// create, and delete of a VSD without a namespace.
TEST_F(TeardownTest, EachOperationSignalsTheMembersThenRemovesItsTrees) {
  install_start_script();
  make_dirs({"/data2", "/data2/.talu", "/data2/.talu/vsd", "/data2/var", "/data2/var/run", "/data2/var/run/vsd"});
  write_file("/tmp/vsd_probe/ignterm.1");
  const bool cgroups = exists("/memory/tasks");
  for (int n : {1, 2, 3})
    if (cgroups) make_dirs({"/memory/vsd_" + std::to_string(n), "/cpu/vsd_" + std::to_string(n)});
  std::map<int, std::string> stay;
  std::map<int, unsigned long long> ns;
  for (int n : {1, 2, 3, 4}) {
    capture_stdout([n] { ASSERT_EQ(0, create_vsd(n)); });
    stay[n] = probe_report("vsd_probe_stay", std::to_string(n))["pid"];
    ns[n] = inode_of("/tmp/vsd/" + std::to_string(n) + "/netns/default");
  }
  const std::string stubborn = probe_report("vsd_probe_ignterm", "1")["pid"];
  ASSERT_FALSE(stubborn.empty());
  const std::string start3 = read_file("/tmp/vsd/3/starttime");
  make_dirs({"/tmp/vsd/5", "/etc/vsd/5"});

  const struct {
    int n;
    std::function<int()> op;
    int want;
  } rows[] = {
      {1, [] { return delete_vsd(1); }, 0},
      {2, [] { return stop_vsd(2); }, 0},
      {3, [] { return reload_vsd(3); }, 0},
      {4, [] { return delete_vsd(4) != 0 ? -100 : create_vsd(4); }, 0},
      {5, [] { return delete_vsd(5); }, -1},  // no namespace to remove: it stops there
  };
  for (const auto& row : rows) {
    const std::string marker = "/tmp/vsd/" + std::to_string(row.n) + "/delete_vsd";
    g_waits.clear();
    g_at_wait = [&] { return std::string(exists(marker) ? "m" : "") + (row.n == 1 && !gone(stubborn) ? "+" : ""); };
    int r = 0;
    EXPECT_EQ(progress(row.n), capture_stdout([&] { r = row.op(); })) << row.n;
    EXPECT_EQ(row.want, r) << row.n;
    // SIGTERM was ignored: the stubborn member outlived the first wait only.
    EXPECT_THAT(g_waits, MatchesRegex(row.n == 1 ? "5m\\+ 10m\\+? " : "5m 10m ")) << row.n;
    EXPECT_EQ(row.n == 5, exists(marker)) << row.n;
  }
  g_at_wait = nullptr;
  EXPECT_TRUE(exists("/tmp/vsd_probe/vsd_probe_ignterm.1.term"));
  for (int n : {1, 2, 3, 4}) EXPECT_TRUE(gone(stay[n])) << n;

  // delete: everything, the namespace first.
  for (const char* t : {"/tmp/vsd/1", "/etc/vsd/1", "/data/var/run/vsd/1", "/data/.talu/vsd/1", "/data2/.talu/vsd/1",
                        "/data2/var/run/vsd/1", "/qn_cfg/vsd/1", "/talu/vsd/1", "/memory/vsd_1", "/cpu/vsd_1"})
    EXPECT_FALSE(exists(t)) << t;
  EXPECT_FALSE(mounted("/tmp/vsd/1/netns/default"));
  // stop: the runtime trees and cgroups; the pinned namespace stays, and
  // with it the directories that hold it.
  EXPECT_EQ(ns[2], inode_of("/tmp/vsd/2/netns/default"));
  EXPECT_EQ(std::vector<std::string>{"netns"}, list_dir("/tmp/vsd/2"));
  for (const char* t : {"/etc/vsd/2", "/memory/vsd_2", "/cpu/vsd_2"}) EXPECT_FALSE(exists(t)) << t;
  for (const char* t : {"/data/var/run/vsd/2", "/data/.talu/vsd/2", "/data2/.talu/vsd/2", "/data2/var/run/vsd/2",
                        "/qn_cfg/vsd/2", "/talu/vsd/2"})
    EXPECT_TRUE(exists(t)) << t;
  // reload: /tmp/vsd/3 and /etc/vsd/3 renewed, the scripts not run again
  // (the namespace is still pinned), cgroups kept.
  EXPECT_EQ("vsd\n", read_file("/tmp/vsd_probe/runs.3"));
  EXPECT_EQ(ns[3], inode_of("/tmp/vsd/3/netns/default"));
  EXPECT_TRUE(exists("/tmp/vsd/3/kiv/db") && exists("/etc/vsd/3"));
  EXPECT_FALSE(exists("/tmp/vsd/3/kiv/" + stay[3]));
  EXPECT_NE(start3, read_file("/tmp/vsd/3/starttime"));
  EXPECT_EQ(cgroups, exists("/memory/vsd_3") && exists("/cpu/vsd_3"));
  // delete then create: a fresh namespace, the scripts ran again.
  EXPECT_EQ("vsd\nvsd\n", read_file("/tmp/vsd_probe/runs.4"));
  EXPECT_NE(ns[4], inode_of("/tmp/vsd/4/netns/default"));
  EXPECT_FALSE(exists("/tmp/vsd/4/kiv/" + stay[4]));
  // delete without a namespace: the trees stay.
  EXPECT_TRUE(exists("/etc/vsd/5"));
}

TEST_F(TeardownTest, RefusalsSignalNothing) {
  Hog host_like(0, {3000});
  Hog far(0, {12900});  // the group of a "VSD 99"
  const struct {
    std::function<int()> op;
    int want;
  } rows[] = {
      {[] { return delete_vsd(0); }, -1},
      {[] { return delete_vsd(16); }, -1},
      {[] { return stop_vsd(99); }, -ENOENT},
      {[] { return reload_vsd(99); }, -ENOENT},
  };
  for (const auto& row : rows) EXPECT_EQ(row.want, row.op());
  EXPECT_TRUE(host_like.running() && far.running());
}

TEST_F(TeardownTest, GroupSignalMatchesTheIdAsText) {
  Hog exact(0, {3100}), longer(0, {13100}), second(0, {1000, 3100}), other(0, {3200});
  EXPECT_EQ(0, kill_proc_by_groups(SIGTERM, 3100));
  for (Hog* h : {&exact, &longer, &second}) EXPECT_TRUE(h->killed_by(SIGTERM)) << h->pid();
  EXPECT_TRUE(other.running());
}

TEST_F(TeardownTest, ShowVsdListsRecordedMembers) {
  make_member_dir(3);
  make_member_dir(12, {123, 4567});
  make_dirs({"/tmp/vsd/4"});
  int r = -1;
  const std::string out = capture_stdout([&] { r = show_vsd(); });
  EXPECT_EQ(0, r);
  const std::string head = "Vsd_3: /tmp/vsd/3/kiv/\ndb\nVsd_12: /tmp/vsd/12/kiv/\n";
  ASSERT_EQ(0u, out.find(head)) << out;
  std::istringstream rest(out.substr(head.size()));
  std::multiset<std::string> listed;
  for (std::string line; std::getline(rest, line);) listed.insert(line);
  EXPECT_EQ((std::multiset<std::string>{"123", "4567", "db"}), listed);
}

TEST_F(TeardownTest, FileRemovalStaysInsideItsTrees) {
  make_dirs({"/data/outside", "/data/outside/sub", "/tmp/vsd/6", "/tmp/vsd/6/a", "/tmp/vsd/6/a/b", "/etc/vsd/6",
             "/qn_cfg/vsd/6", "/tmp/vsd/7", "/tmp/vsd/7/busy", "/tmp/vsd/7/free"});
  write_file("/data/outside/keep", "k");
  write_file("/tmp/vsd/6/.hidden");
  write_file("/tmp/vsd/6/a/b/deep");
  ASSERT_EQ(0, symlink("/data/outside", "/etc/vsd/6/dirlink"));
  ASSERT_EQ(0, symlink("/data/outside/keep", "/etc/vsd/6/filelink"));
  ASSERT_EQ(0, symlink("/nowhere", "/etc/vsd/6/broken"));
  ASSERT_EQ(0, symlink("/data/outside", "/data/var/run/vsd/6"));  // the tree itself a link
  EXPECT_EQ(0, delete_vsd_file(6));
  for (const char* t : {"/tmp/vsd/6", "/etc/vsd/6", "/data/var/run/vsd/6"}) EXPECT_FALSE(exists(t)) << t;
  EXPECT_EQ("k", read_file("/data/outside/keep"));
  EXPECT_TRUE(exists("/data/outside/sub"));
  EXPECT_TRUE(exists("/qn_cfg/vsd/6"));  // not in its column

  // A mount inside the tree is not entered: it stays, its content with it.
  ASSERT_EQ(0, mount("tmpfs", "/tmp/vsd/7/busy", "tmpfs", 0, nullptr));
  write_file("/tmp/vsd/7/busy/inside");
  write_file("/tmp/vsd/7/free/file");
  EXPECT_EQ(0, delete_vsd_file(7));
  EXPECT_EQ(std::vector<std::string>{"busy"}, list_dir("/tmp/vsd/7"));
  EXPECT_EQ(std::vector<std::string>{"inside"}, list_dir("/tmp/vsd/7/busy"));
  EXPECT_EQ(0, umount("/tmp/vsd/7/busy"));
}

// An unprivileged neighbour swaps a directory of the world-writable tree
// with a link to root's files, again and again, while root removes the
// tree; a bind mount of the same file system sits inside it as well.
TEST_F(TeardownTest, RemovalRacingALinkSwapperStaysInside) {
  constexpr int kRounds = 300, kVictims = 20;
  make_dirs({"/data/victim", "/tmp/bound_src"});  // the latter on the tree's own tmpfs
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
    make_dirs({"/tmp/vsd/8"}, 0777);
    ASSERT_EQ(0, chmod("/tmp/vsd/8", 0777));
    make_dirs({"/tmp/vsd/8/bound", "/tmp/vsd/8/s0", "/tmp/vsd/8/s1", "/tmp/vsd/8/s2"}, 0777);
    ASSERT_EQ(0, mount("/tmp/bound_src", "/tmp/vsd/8/bound", nullptr, MS_BIND, nullptr));
    // The racer's pair is in place before the removal starts.
    ASSERT_TRUE(wait_for_file("/tmp/vsd/8/d", 2000) && wait_for_file("/tmp/vsd/8/l", 2000));
    EXPECT_EQ(0, delete_vsd_file(8));
    ASSERT_EQ(0, umount("/tmp/vsd/8/bound"));
    // Out of the racer's reach before it is cleared away.
    if (rename("/tmp/vsd/8", "/tmp/vsd/old") == 0) remove_tree("/tmp/vsd/old");
    ASSERT_EQ(kVictims, static_cast<int>(list_dir("/data/victim").size())) << "round " << round;
    ASSERT_EQ(std::vector<std::string>{"keep"}, list_dir("/tmp/bound_src")) << "round " << round;
  }
  ASSERT_EQ(0, kill(racer.pid(), SIGKILL));
  EXPECT_TRUE(racer.wait().signaled(SIGKILL));
}

}  // namespace
}  // namespace kiv::test
