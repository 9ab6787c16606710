// A VSD's cgroups: the members moved into both hierarchies, the memory
// limits and the cpu weight, checked in the kernel's own files.
#include <limits.h>

#include "support/vsd_world.h"

namespace kiv::test {
namespace {

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

// set_cgroups_all(n) started in /tmp: its log, then where it left the
// working directory.
std::string place(int n) {
  EXPECT_EQ(0, chdir("/tmp"));
  const std::string out = logged([n] { EXPECT_EQ(0, set_cgroups_all(n)); });
  char cwd[PATH_MAX] = {};
  return out + "cwd " + (getcwd(cwd, sizeof cwd) != nullptr ? cwd : "?");
}

TEST_F(CgroupTest, RecordedMembersMoveIntoBothCgroups) {
  Hog a(0, {3300}), b(0, {}), live(0, {});
  make_member_dir(3, {a.pid(), b.pid()});
  // Not members: names that are no pids (0 would move the caller itself,
  // 2^32 + 1 would read as pid 1), and an entry whose stat fails.
  for (const char* name : {"notes", "0", "4294967297"}) write_file("/tmp/vsd/3/kiv/" + std::string(name));
  ASSERT_EQ(0, symlink("/nowhere", "/tmp/vsd/3/kiv/424242"));
  make_member_dir(4);
  make_member_dir(6, {ended_pid(), live.pid()});
  const std::string stat_fail = kTag + "set_cgroups: stat fail: No such file or directory\n";
  const std::string gone_pid = kTag + "add_cgroups: fwrite fail: No such process\n";
  const struct {
    int n;
    std::string log;
    std::set<pid_t> tasks;
  } rows[] = {
      {3, stat_fail + "cwd /", {a.pid(), b.pid()}},
      {4, "cwd /", {}},  // only the database directory
      {5, kTag + "set_cgroups: chdir fail: No such file or directory\n" + kTag +  // no member directory:
              "set_cgroups_all: set mem group fail: No such file or directory\ncwd /tmp",  // cgroups made all the same
       {}},
      {6, gone_pid + gone_pid + "cwd /", {live.pid()}},  // an ended member: a failed write per hierarchy
  };
  for (const auto& row : rows) {
    EXPECT_EQ(row.log, place(row.n)) << row.n;
    for (const std::string h : {"/memory/vsd_", "/cpu/vsd_"}) {
      EXPECT_EQ(0777, mode_of(h + std::to_string(row.n))) << h << row.n;
      EXPECT_EQ(row.tasks, tasks_of(h + std::to_string(row.n) + "/tasks")) << h << row.n;
    }
  }
  // Again on cgroups that exist: nothing new is made, their settings stay,
  // and a member moved out meanwhile is moved back.
  ASSERT_EQ(0, set_mem_group(3, 4096) + set_cpu_group(3, 5));
  const unsigned long long mem_dir = inode_of("/memory/vsd_3");
  write_file("/memory/tasks", std::to_string(b.pid()));
  write_file("/cpu/tasks", std::to_string(b.pid()));
  EXPECT_EQ(stat_fail + "cwd /", place(3));
  EXPECT_EQ(mem_dir, inode_of("/memory/vsd_3"));
  EXPECT_EQ("4194304\n512\n", read_file("/memory/vsd_3/memory.limit_in_bytes") + read_file("/cpu/vsd_3/cpu.shares"));
  EXPECT_EQ(rows[0].tasks, tasks_of("/cpu/vsd_3/tasks"));
  EXPECT_EQ(rows[0].tasks, tasks_of("/memory/vsd_3/tasks"));
}

TEST_F(CgroupTest, MemoryLimitsAndCpuWeightReadBackAsWritten) {
  const std::string enoent = ": No such file or directory\n";
  EXPECT_EQ(kTag + "set_mem_limit_group: fopen fail" + enoent + kTag + "set_mem_group: set_hard_mem_limit fail" +
                enoent + kTag + "set_cpu_group: fopen fail" + enoent,
            logged([] { EXPECT_EQ(-2 * ENOENT, set_mem_group(8, 1024) + set_cpu_group(8, 10)); }));  // no cgroups yet
  ASSERT_EQ(0, set_cgroups_all(8));
  for (auto [kib, bytes] : {std::pair{1024u, "1048576\n"}, {65536u, "67108864\n"}}) {
    ASSERT_EQ(0, set_mem_group(8, kib));
    EXPECT_EQ(bytes, read_file("/memory/vsd_8/memory.limit_in_bytes"));
    EXPECT_EQ(bytes, read_file("/memory/vsd_8/memory.soft_limit_in_bytes"));
  }
  for (auto [weight, shares] : {std::pair{1u, "102\n"}, {5u, "512\n"}, {10u, "1024\n"}, {15u, "1536\n"}}) {
    EXPECT_EQ(0, set_cpu_group(8, weight));
    EXPECT_EQ(shares, read_file("/cpu/vsd_8/cpu.shares")) << weight;
  }
  // Refused by the kernel: a weight whose share overflows 32 bits is written
  // negative; a hard limit below memory that can't be reclaimed (locked, no
  // swap) is refused, and the soft limit is then left alone.
  Hog hog(8192, {}, {"/memory/vsd_8/tasks"});
  EXPECT_EQ(kTag + "set_cpu_group: fwrite fail: Invalid argument\n" + kTag +
                "set_mem_limit_group: fwrite fail: Device or resource busy\n" + kTag +
                "set_mem_group: set_hard_mem_limit fail: Device or resource busy\n",
            logged([] {
              EXPECT_EQ(-EINVAL, set_cpu_group(8, 3000000));
              EXPECT_EQ(-EBUSY, set_mem_group(8, 1024));
            }));
  EXPECT_EQ("1536\n67108864\n", read_file("/cpu/vsd_8/cpu.shares") + read_file("/memory/vsd_8/memory.soft_limit_in_bytes"));
}

}  // namespace
}  // namespace kiv::test
