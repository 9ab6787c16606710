// Tearing VSDs down: signalling by group, the removal of each operation's
// trees, reload, the member listing and the tree removal itself.
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <stdio.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <set>
#include <sstream>

#include "kiv_dbg.h"
#include "kiv_vsd.h"
#include "support/capture.h"
#include "sandbox/sandbox.h"
#include "support/vsd_world.h"

namespace kiv::test {
namespace {

using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using ::testing::Not;

using TeardownTest = VsdTest;

std::string progress(int n) {
  const std::string s = std::to_string(n);
  return "Sending vsd: " + s + " all processes the TERM signal...\n"
         "After 5s, Sending vsd: " + s + " all processes the KILL signal...\n"
         "After 10s, Delete vsd: " + s + " OK.\n";
}

// Whether pid is gone (reaped, or a zombie waiting for pid 1).
bool gone(const std::string& pid) {
  std::string stat = read_file("/proc/" + pid + "/stat");
  return stat.empty() || stat.find(") Z ") != std::string::npos;
}

bool mounted(const std::string& path) {
  return read_file("/proc/self/mountinfo").find(" " + path + " ") != std::string::npos;
}

std::vector<std::string> trees(int n) {
  const std::string s = std::to_string(n);
  return {"/tmp/vsd/" + s,        "/etc/vsd/" + s,       "/data/var/run/vsd/" + s, "/data/.talu/vsd/" + s,
          "/data2/.talu/vsd/" + s, "/data2/var/run/vsd/" + s, "/qn_cfg/vsd/" + s,   "/talu/vsd/" + s};
}

// One run of the slow paths, side by side: delete (with a member that
// ignores SIGTERM), stop, reload, delete followed by create, and delete of
// a VSD without a namespace.
TEST_F(TeardownTest, DeleteStopReloadAndRecreateTogether) {
  install_start_script();
  for (const char* d : {"/data2", "/data2/.talu", "/data2/.talu/vsd", "/data2/var", "/data2/var/run",
                        "/data2/var/run/vsd"})
    ASSERT_EQ(0, mkdir(d, 0755));
  write_file("/tmp/vsd_probe/ignterm.1", "");
  const bool cgroups = sandbox::have_cgroups();
  for (int n : {1, 2, 3}) {
    for (const char* h : {"/memory", "/cpu"}) {
      if (!cgroups) continue;
      ASSERT_EQ(0, mkdir((std::string(h) + "/vsd_" + std::to_string(n)).c_str(), 0755));
    }
  }
  std::map<int, std::string> stay;
  std::map<int, unsigned long long> ns;
  for (int n : {1, 2, 3, 4}) {
    capture_stdout([n] { ASSERT_EQ(0, create_vsd(n)); });
    stay[n] = probe_report("vsd_probe_stay", std::to_string(n))["pid"];
    ASSERT_FALSE(stay[n].empty());
    ns[n] = inode_of("/tmp/vsd/" + std::to_string(n) + "/netns/default");
  }
  const std::string stubborn = probe_report("vsd_probe_ignterm", "1")["pid"];
  ASSERT_FALSE(stubborn.empty());
  const std::string start3 = read_file("/tmp/vsd/3/starttime");
  for (const char* d : {"/tmp/vsd/5", "/etc/vsd/5"}) ASSERT_EQ(0, mkdir(d, 0755));
  usleep(20000);  // the reload's start time must differ

  const long long t0 = monotonic_ms();
  Child del([] { return -delete_vsd(1); });
  Child stop([] { return -stop_vsd(2); });
  Child reload([] { return -reload_vsd(3); });
  Child again([] {
    const int r = delete_vsd(4);
    return r != 0 ? 100 - r : -create_vsd(4);
  });
  Child no_ns([] {
    g_kiv_dbg_level[KIV_DBG_LIB] = 0;
    return -delete_vsd(5);
  });

  long long stubborn_end = 0;
  while (monotonic_ms() - t0 < 9000 && stubborn_end == 0) {
    if (gone(stubborn)) stubborn_end = monotonic_ms();
    usleep(20000);
  }
  EXPECT_TRUE(exists("/tmp/vsd/1/delete_vsd")) << "marker during the teardown";

  ChildResult r1 = del.wait(40), r2 = stop.wait(40), r3 = reload.wait(40), r4 = again.wait(40),
           r5 = no_ns.wait(40);
  const long long took = monotonic_ms() - t0;
  EXPECT_TRUE(r1.exited(0)) << r1.status;
  EXPECT_TRUE(r2.exited(0)) << r2.status;
  EXPECT_TRUE(r3.exited(0)) << r3.status;
  EXPECT_TRUE(r4.exited(0)) << r4.status;
  EXPECT_EQ(progress(1), r1.output);
  EXPECT_EQ(progress(2), r2.output);
  EXPECT_EQ(progress(3), r3.output);
  EXPECT_EQ(progress(4), r4.output);
  // Without a namespace to remove, delete stops: marker and trees stay.
  EXPECT_TRUE(r5.exited(1)) << r5.status;
  // A process that ends while a scan reads /proc is logged as it goes by;
  // those lines may fall between the progress lines.
  std::string r5_progress;
  for (size_t at = 0, end; at < r5.output.size(); at = end + 1) {
    end = r5.output.find('\n', at);
    if (end == std::string::npos) end = r5.output.size();
    const std::string line = r5.output.substr(at, end - at);
    if (line.find("kill_proc_by_groups: fopen fail") == std::string::npos) r5_progress += line + "\n";
  }
  EXPECT_EQ(0u, r5_progress.find(progress(5))) << r5.output;
  EXPECT_THAT(r5.output, MatchesRegex("(.|\n)*\\[KIV:kiv_vsd:[0-9]+\\]delete netns fail:-1\\."));
  EXPECT_TRUE(exists("/tmp/vsd/5/delete_vsd"));
  EXPECT_TRUE(exists("/etc/vsd/5"));
  EXPECT_GE(took, 15000);
  EXPECT_LT(took, 25000);

  // SIGTERM came at once and was ignored; SIGKILL ended it 5 s later.
  const std::string term = read_file("/tmp/vsd_probe/vsd_probe_ignterm.1.term");
  ASSERT_FALSE(term.empty()) << "no SIGTERM";
  EXPECT_LT(atoll(term.c_str()) - t0, 1000);
  ASSERT_NE(0, stubborn_end) << "survived SIGKILL";
  EXPECT_GE(stubborn_end - t0, 4800);
  EXPECT_LT(stubborn_end - t0, 7000);
  for (int n : {1, 2, 3, 4}) EXPECT_TRUE(gone(stay[n])) << "member of " << n;

  // delete: everything, the namespace first.
  for (const auto& t : trees(1)) EXPECT_FALSE(exists(t)) << t;
  EXPECT_FALSE(mounted("/tmp/vsd/1/netns/default"));
  EXPECT_FALSE(exists("/memory/vsd_1"));
  EXPECT_FALSE(exists("/cpu/vsd_1"));

  // stop: the runtime trees and cgroups; the namespace stays pinned, and
  // with it the directories that hold it.
  EXPECT_EQ(ns[2], inode_of("/tmp/vsd/2/netns/default"));
  EXPECT_EQ(std::vector<std::string>{"netns"}, list_dir("/tmp/vsd/2"));
  EXPECT_FALSE(exists("/etc/vsd/2"));
  EXPECT_FALSE(exists("/memory/vsd_2"));
  EXPECT_FALSE(exists("/cpu/vsd_2"));
  for (const auto& t : {"/data/var/run/vsd/2", "/data/.talu/vsd/2", "/data2/.talu/vsd/2",
                        "/data2/var/run/vsd/2", "/qn_cfg/vsd/2", "/talu/vsd/2"})
    EXPECT_TRUE(exists(t)) << t;

  // reload: /tmp/vsd/3 and /etc/vsd/3 renewed, scripts not run again (the
  // namespace is still pinned), cgroups kept.
  EXPECT_EQ("vsd\n", read_file("/tmp/vsd_probe/runs.3"));
  EXPECT_EQ(ns[3], inode_of("/tmp/vsd/3/netns/default"));
  EXPECT_TRUE(exists("/tmp/vsd/3/kiv/db"));
  EXPECT_TRUE(exists("/etc/vsd/3"));
  EXPECT_FALSE(exists("/tmp/vsd/3/delete_vsd"));
  EXPECT_FALSE(exists("/tmp/vsd/3/kiv/" + stay[3]));
  EXPECT_NE(start3, read_file("/tmp/vsd/3/starttime"));
  if (cgroups) {
    EXPECT_TRUE(exists("/memory/vsd_3"));
    EXPECT_TRUE(exists("/cpu/vsd_3"));
  }

  // delete then create: a fresh namespace, the scripts ran again.
  EXPECT_EQ("vsd\nvsd\n", read_file("/tmp/vsd_probe/runs.4"));
  EXPECT_NE(ns[4], inode_of("/tmp/vsd/4/netns/default"));
  // The new member may not have written its report yet.
  std::string fresh = stay[4];
  for (int i = 0; i < 250 && fresh == stay[4]; ++i) {
    fresh = probe_report("vsd_probe_stay", "4")["pid"];
    usleep(20000);
  }
  EXPECT_NE(stay[4], fresh);
  EXPECT_TRUE(exists("/tmp/vsd/4/kiv/" + fresh));
  EXPECT_FALSE(exists("/tmp/vsd/4/kiv/" + stay[4]));
}

TEST_F(TeardownTest, RefusalsSignalNothing) {
  Hog host_like(0, {3000});
  Hog far(0, {12900});  // the group of a "VSD 99"
  g_kiv_dbg_level[KIV_DBG_LIB] = 0;
  std::string out = capture_stdout([] {
    EXPECT_EQ(-1, delete_vsd(0));
    EXPECT_EQ(-1, delete_vsd(16));
  });
  EXPECT_THAT(out, MatchesRegex("\\[KIV:kiv_vsd:[0-9]+\\]Bad parameter vsd_no:0\n"
                                "\\[KIV:kiv_vsd:[0-9]+\\]Bad parameter vsd_no:16\n"));
  out = capture_stdout([] { EXPECT_EQ(-ENOENT, stop_vsd(99)); });
  EXPECT_EQ("", out);
  out = capture_stdout([] { EXPECT_EQ(-ENOENT, reload_vsd(99)); });
  EXPECT_THAT(out, MatchesRegex("\\[KIV:kiv_vsd:[0-9]+\\]delete 99 vsd fail, error =No such file or directory\n"));
  EXPECT_EQ(-1, host_like.wait(100));
  EXPECT_EQ(-1, far.wait(100));
}

TEST_F(TeardownTest, GroupSignalMatchesTheIdAsText) {
  Hog exact(0, {3100});
  Hog longer(0, {13100});
  Hog second(0, {1000, 3100});
  Hog other(0, {3200});
  g_kiv_dbg_level[KIV_DBG_LIB] = 0;
  const pid_t longer_pid = longer.pid(), other_pid = other.pid();
  int r = -1;
  std::string out = capture_stdout([&] { r = kill_proc_by_groups(SIGTERM, 3100); });
  EXPECT_EQ(0, r);
  for (Hog* h : {&exact, &longer, &second}) {
    const int status = h->wait(2000);
    EXPECT_TRUE(status != -1 && WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
  }
  EXPECT_EQ(-1, other.wait(100));
  EXPECT_THAT(out, HasSubstr("]delete vsd: supplement_id: 3100 pid: " + std::to_string(longer_pid) + "\n"));
  EXPECT_THAT(out, Not(HasSubstr("pid: " + std::to_string(other_pid) + "\n")));
}

TEST_F(TeardownTest, ShowVsdListsRecordedMembers) {
  for (const char* d : {"/tmp/vsd/3", "/tmp/vsd/3/kiv", "/tmp/vsd/3/kiv/db", "/tmp/vsd/4", "/tmp/vsd/12",
                        "/tmp/vsd/12/kiv", "/tmp/vsd/12/kiv/db"})
    ASSERT_EQ(0, mkdir(d, 0755));
  write_file("/tmp/vsd/12/kiv/123", "");
  write_file("/tmp/vsd/12/kiv/4567", "");
  g_kiv_dbg_level[KIV_DBG_LIB] = 0;
  int r = -1;
  std::string out = capture_stdout([&] { r = show_vsd(); });
  EXPECT_EQ(0, r);
  const std::string head3 = "Vsd_3: /tmp/vsd/3/kiv/\ndb\n", head12 = "Vsd_12: /tmp/vsd/12/kiv/\n";
  ASSERT_EQ(0u, out.find(head3));
  ASSERT_EQ(head3.size(), out.find(head12));
  std::multiset<std::string> listed;
  std::istringstream rest(out.substr(head3.size() + head12.size()));
  for (std::string line; std::getline(rest, line);) listed.insert(line);
  EXPECT_EQ((std::multiset<std::string>{"123", "4567", "db"}), listed);
}

TEST_F(TeardownTest, FileRemovalStaysInsideItsTrees) {
  // Outside the trees, reached through links from inside.
  for (const char* d : {"/data/outside", "/data/outside/sub"}) ASSERT_EQ(0, mkdir(d, 0755));
  write_file("/data/outside/keep", "k");
  for (const char* d : {"/tmp/vsd/6", "/tmp/vsd/6/kiv", "/tmp/vsd/6/kiv/db", "/tmp/vsd/6/a", "/tmp/vsd/6/a/b",
                        "/etc/vsd/6", "/qn_cfg/vsd/6"})
    ASSERT_EQ(0, mkdir(d, 0755));
  write_file("/tmp/vsd/6/.hidden", "");
  write_file("/tmp/vsd/6/a/b/deep", "");
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
  for (const char* d : {"/tmp/vsd/7", "/tmp/vsd/7/busy", "/tmp/vsd/7/free"}) ASSERT_EQ(0, mkdir(d, 0755));
  ASSERT_EQ(0, mount("tmpfs", "/tmp/vsd/7/busy", "tmpfs", 0, nullptr));
  write_file("/tmp/vsd/7/busy/inside", "");
  write_file("/tmp/vsd/7/free/file", "");
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
  constexpr uid_t kNobody = 65534;
  ASSERT_EQ(0, mkdir("/data/victim", 0755));
  for (int i = 0; i < kVictims; ++i) write_file("/data/victim/f" + std::to_string(i), "root");
  ASSERT_EQ(0, mkdir("/tmp/bound_src", 0755));  // on the tree's own tmpfs
  write_file("/tmp/bound_src/keep", "root");
  ASSERT_EQ(0, chmod("/tmp/vsd", 0755));
  Child racer([] {
    if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0) return 1;
    for (;;) {
      (void)mkdir("/tmp/vsd/8/d", 0777);
      close(open("/tmp/vsd/8/d/x", O_CREAT | O_WRONLY | O_CLOEXEC, 0666));
      (void)symlink("/data/victim", "/tmp/vsd/8/l");
      (void)renameat2(AT_FDCWD, "/tmp/vsd/8/d", AT_FDCWD, "/tmp/vsd/8/l", RENAME_EXCHANGE);
    }
  });
  for (int round = 0; round < kRounds; ++round) {
    ASSERT_EQ(0, mkdir("/tmp/vsd/8", 0777));
    ASSERT_EQ(0, chmod("/tmp/vsd/8", 0777));
    ASSERT_EQ(0, mkdir("/tmp/vsd/8/bound", 0755));
    ASSERT_EQ(0, mount("/tmp/bound_src", "/tmp/vsd/8/bound", nullptr, MS_BIND, nullptr));
    for (int i = 0; i < 5; ++i) ASSERT_EQ(0, mkdir(("/tmp/vsd/8/s" + std::to_string(i)).c_str(), 0777));
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
