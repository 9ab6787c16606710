// A VSD's cgroups and memory watch: the members moved into both
// hierarchies, limits and cpu weight in the kernel's own files, smaps sums,
// and polls over processes with known resident sets.
#include <limits.h>

#include <iterator>
#include <numeric>

#include "support/sanitizer.h"
#include "support/vsd_world.h"

namespace kiv::test {
namespace {

using ::testing::AllOf;
using ::testing::Ge;
using ::testing::Le;

class CgroupTest : public VsdTest {
 protected:
  void SetUp() override {
    VsdTest::SetUp();
    if (!IsSkipped()) require_cgroups();
  }
  void TearDown() override {
    (void)chdir("/");
    VsdTest::TearDown();
  }
};
using MemWatchTest = VsdTest;

// set_cgroups_all(n) started in /tmp: its log, then where it left the
// working directory.
std::string place(int n) {
  EXPECT_EQ(0, chdir("/tmp"));
  const std::string out = logged([n] { EXPECT_EQ(0, set_cgroups_all(n)); });
  char cwd[PATH_MAX] = {};
  return out + "cwd " + (getcwd(cwd, sizeof cwd) != nullptr ? cwd : "?");
}

TEST_F(CgroupTest, MembersMoveIntoBothCgroupsWhoseSettingsReadBack) {
  Hog a(0, {3300}), b(0, {}), live(0, {});
  make_member_dir(3, {a.pid(), b.pid()});
  // Not members: names that are no pids (0 would move the caller itself,
  // 2^32 + 1 would read as pid 1), and an entry whose stat fails.
  for (const char* name : {"notes", "0", "4294967297"}) write_file("/tmp/vsd/3/kiv/" + std::string(name));
  ASSERT_EQ(0, symlink("/nowhere", "/tmp/vsd/3/kiv/424242"));
  make_member_dir(4);
  make_member_dir(6, {ended_pid(), live.pid()});
  EXPECT_EQ(-2 * ENOENT, set_mem_group(3, 1024) + set_cpu_group(3, 10));  // no cgroups yet
  const std::string stat_fail = kTag + "set_cgroups: stat fail: No such file or directory\n",
                    gone = kTag + "add_cgroups: fwrite fail: No such process\n";
  const struct {
    int n;
    std::string log;
    std::set<pid_t> tasks;
  } rows[] = {
      {3, stat_fail + "cwd /", {a.pid(), b.pid()}},
      {4, "cwd /", {}},  // only the database directory
      {5, kTag + "set_cgroups: chdir fail: No such file or directory\n" + kTag +  // no member directory:
              "set_cgroups_all: set mem group fail: No such file or directory\ncwd /tmp", {}},  // cgroups all the same
      {6, gone + gone + "cwd /", {live.pid()}},  // an ended member: a failed write per hierarchy
  };
  for (const auto& row : rows) {
    EXPECT_EQ(row.log, place(row.n)) << row.n;
    for (const std::string h : {"/memory/vsd_", "/cpu/vsd_"}) {
      EXPECT_EQ(0777, mode_of(h + std::to_string(row.n))) << h << row.n;
      EXPECT_EQ(row.tasks, tasks_of(h + std::to_string(row.n) + "/tasks")) << h << row.n;
    }
  }
  for (auto [kib, bytes] : {std::pair{1024u, "1048576\n"}, {65536u, "67108864\n"}}) {
    ASSERT_EQ(0, set_mem_group(3, kib));
    EXPECT_EQ(std::string(bytes) + bytes, read_file("/memory/vsd_3/memory.limit_in_bytes") +
                                              read_file("/memory/vsd_3/memory.soft_limit_in_bytes"));
  }
  for (auto [weight, shares] : {std::pair{1u, "102\n"}, {5u, "512\n"}, {10u, "1024\n"}, {15u, "1536\n"}}) {
    EXPECT_EQ(0, set_cpu_group(3, weight));
    EXPECT_EQ(shares, read_file("/cpu/vsd_3/cpu.shares")) << weight;
  }
  // Again on cgroups that exist: nothing new is made, and a member moved
  // out meanwhile is moved back.
  const unsigned long long mem_dir = inode_of("/memory/vsd_3");
  write_file("/memory/tasks", std::to_string(b.pid()));
  write_file("/cpu/tasks", std::to_string(b.pid()));
  EXPECT_EQ(stat_fail + "cwd /", place(3));
  EXPECT_EQ(mem_dir, inode_of("/memory/vsd_3"));
  for (const char* tasks : {"/cpu/vsd_3/tasks", "/memory/vsd_3/tasks"}) EXPECT_EQ(rows[0].tasks, tasks_of(tasks));
  // Refused by the kernel: a weight whose share overflows 32 bits is written
  // negative; a hard limit below locked memory (no swap) is refused, and the
  // soft limit is then left alone. The settings stay as they were.
  Hog hog(8192, {}, {"/memory/vsd_3/tasks"});
  EXPECT_EQ(-EINVAL, set_cpu_group(3, 3000000));
  EXPECT_EQ(-EBUSY, set_mem_group(3, 1024));
  EXPECT_EQ("1536\n67108864\n",
            read_file("/cpu/vsd_3/cpu.shares") + read_file("/memory/vsd_3/memory.soft_limit_in_bytes"));
}

// One mapping of an smaps file, whose header line names path.
std::string mapping(const std::string& path, int rss_kib) {
  return "7f0000000000-7f0000021000 r-xp 00000000 08:01 1234        " + path + "\nSize:                132 kB\n"
         "Rss:                 " + std::to_string(rss_kib) + " kB\nPss:                  40 kB\nVmFlags: rd ex\n";
}

TEST_F(MemWatchTest, SmapsSumsLeaveOutLibraryMappings) {
  write_file("/tmp/smaps.mixed",
             mapping("/usr/bin/dbus-daemon", 100) + mapping("/usr/lib/x86_64-linux-gnu/libc.so.6", 200) +
                 mapping("[heap]", 30) + mapping("", 7) + mapping("/lib/ld-linux.so.2", 5000) +
                 mapping("/data/app/libfoo.so", 400) + mapping("[stack]", 12) +
                 mapping("/opt/" + std::string(1500, 'x'), 1));  // a header longer than the line buffer
  write_file("/tmp/smaps.libs", mapping("/usr/lib/libz.so.1", 50) + mapping("/lib64/libm.so.6", 60));
  uint64_t table[KIV_VSD_SLOTS] = {};
  const struct {
    const char* path;
    int vsd, result, slot;
    uint64_t sum;
  } rows[] = {
      {"/tmp/smaps.mixed", 2, 0, 2, 150},      {"/tmp/smaps.mixed", 2, 0, 2, 300},     // sums add up
      {"/tmp/smaps.libs", 3, 0, 3, 0},         {"/tmp/smaps.mixed", -30, 0, 0, 150},   // negative: the host
      {"/tmp/smaps.mixed", 16, 0, 0, 150},     {"/tmp/smaps.mixed", 1000, 0, 0, 150},  // beyond the table: nowhere
      {"/tmp/smaps.none", 2, -ENOENT, 2, 300}, {nullptr, 2, -EINVAL, 2, 300},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(row.result, get_vsd_mem(row.path, row.vsd, table)) << row.vsd;
    EXPECT_EQ(row.sum, table[row.slot]) << row.vsd;
  }
  EXPECT_EQ(450u, std::accumulate(std::begin(table), std::end(table), uint64_t{0}));
  EXPECT_EQ(-EINVAL, get_vsd_mem("/tmp/smaps.mixed", 2, nullptr));
  // A real process: its touched memory and a little of its own, not its libraries.
  Hog hog(4096, {});
  uint64_t real[KIV_VSD_SLOTS] = {};
  ASSERT_EQ(0, get_vsd_mem(("/proc/" + std::to_string(hog.pid()) + "/smaps").c_str(), 5, real));
  EXPECT_THAT(real[5], AllOf(Ge(4096u), Le(4096u + kOwnPagesKiB)));
}

// Two polls. VSD 5 over its limit (twice), 6 exactly at it the second
// time, 7 without its directory, 8 with the watch off, 9 and 10 over it
// without a candidate (a kill of 0 would reach this test's process group),
// and a process whose group lies beyond the VSD numbers.
TEST_F(CgroupTest, PollKillsTheLargestMemberOfEachVsdOverItsLimit) {
  for (int n : {0, 2, 5, 6, 7, 8, 9, 10}) make_dirs({"/memory/vsd_" + std::to_string(n)});
  write_file("/memory/vsd_0/memory.limit_in_bytes", "1048576");
  EXPECT_EQ(0u, get_maxmem_set(0) + get_maxmem_set(11));  // the host has no limit, nor has a VSD without cgroup
  EXPECT_GT(get_maxmem_set(2), 1ull << 40);                // a fresh cgroup is unlimited: no sum reaches it
  ASSERT_EQ(0, set_mem_group(2, 1536));
  EXPECT_EQ(1536u, get_maxmem_set(2));
  // VSD 5: 4 + 12 MiB of members, and 16 MiB of a process of the group
  // without a member file: it counts, but is never chosen.
  Hog small(4096, {3500}), big(12288, {3500}), unlisted(16384, {3500});
  make_member_dir(5, {small.pid(), big.pid()});
  ASSERT_EQ(0, set_mem_group(5, 20480));
  Hog six_a(2048, {3600}), six_b(1024, {3600, 4100});  // only the first group counts
  make_member_dir(6, {six_a.pid(), six_b.pid()});
  Hog seven(4096, {3700}), eight(4096, {3800}), nine(2048, {3900}), ten(2048, {4000});
  make_member_dir(8, {eight.pid()});
  make_member_dir(9, {ended_pid(), 0});
  write_file("/tmp/vsd/9/kiv/notes");
  make_dirs({"/tmp/vsd/10"});
  ASSERT_EQ(0, set_mem_group(7, 1024) + set_mem_group(9, 1024) + set_mem_group(10, 1024));
  write_file("/memory/vsd_8/memory.limit_in_bytes", "512");  // below 1 KiB: off
  Hog beyond(49152, {4600});  // VSD "16": no slot, not counted

  set_vsd_mem();
  EXPECT_TRUE(big.killed_by(SIGKILL));
  for (Hog* h : {&small, &unlisted, &six_a, &six_b, &seven, &eight, &nine, &ten, &beyond})
    EXPECT_TRUE(h->running()) << h->pid();
  const uint64_t six = vsd_use_mem(6);
  EXPECT_THAT(six, AllOf(Ge(3072u), Le(3072u + 2 * kOwnPagesKiB)));
  // The host's slot holds this test's own processes, far below the 48 MiB
  // of the group-4600 process (a sanitizer's shadow makes the test that big).
  EXPECT_THAT(vsd_use_mem(0), AllOf(Ge(1u), Le(kSanitized ? UINT64_MAX : 49151u)));
  for (int n : {1, 2, 7, 8, 15, 16, -1}) EXPECT_EQ(0u, vsd_use_mem(n)) << n;
  for (int n : {9, 10}) EXPECT_EQ(1024u, vsd_use_mem(n)) << n;  // over: the limit, not the sum
  for (int n = 0; n < KIV_VSD_SLOTS; ++n)
    EXPECT_EQ(std::pair(uint64_t{0}, mem_use_rss[n]), std::pair(array_rss[n], vsd_use_mem(n))) << n;

  // VSD 6 at exactly its limit is not over it. VSD 5 still is: its largest
  // listed member left is the small one.
  ASSERT_EQ(0, set_mem_group(6, six));
  set_vsd_mem();
  EXPECT_EQ(six, vsd_use_mem(6));
  EXPECT_TRUE(six_a.running() && six_b.running() && unlisted.running());
  EXPECT_TRUE(small.killed_by(SIGKILL));
  EXPECT_EQ(20480u, vsd_use_mem(5));
}

}  // namespace
}  // namespace kiv::test
