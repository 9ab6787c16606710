// A VSD's cgroups: the members moved into both hierarchies, the memory
// limits and the cpu weight, checked in the kernel's own files.
#include <limits.h>

#include "support/vsd_world.h"

namespace kiv::test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;

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
  // set_cgroups_all(n) started in /tmp: its log, and where it left the
  // working directory.
  static std::string place(int n, std::string* cwd) {
    EXPECT_EQ(0, chdir("/tmp"));
    const std::string out = logged([n] { EXPECT_EQ(0, set_cgroups_all(n)); });
    char buf[PATH_MAX] = {};
    *cwd = getcwd(buf, sizeof buf) != nullptr ? buf : "?";
    return out;
  }
};

TEST_F(CgroupTest, RecordedMembersMoveIntoBothCgroups) {
  Hog a(0, {3300}), b(0, {}), live(0, {});
  make_member_dir(3, {a.pid(), b.pid()});
  // No members: names that are no pids (0 would move the caller itself, 2^32
  // + 1 would read as pid 1), and an entry whose stat fails.
  for (const char* name : {"notes", "0", "4294967297"}) write_file("/tmp/vsd/3/kiv/" + std::string(name));
  ASSERT_EQ(0, symlink("/nowhere", "/tmp/vsd/3/kiv/424242"));
  make_member_dir(4);
  make_member_dir(6, {ended_pid(), live.pid()});
  const std::string stat_fail = kTag + "set_cgroups: stat fail: No such file or directory\n";
  const std::string gone_pid = kTag + "add_cgroups: fwrite fail: No such process\n";
  const struct {
    int n;
    std::string log, cwd;
    std::set<pid_t> tasks;
  } rows[] = {
      {3, stat_fail, "/", {a.pid(), b.pid()}},
      {4, "", "/", {}},  // only the database directory
      {5,                // no member directory: the cgroups are made all the same
       kTag + "set_cgroups: chdir fail: No such file or directory\n" + kTag +
           "set_cgroups_all: set mem group fail: No such file or directory\n",
       "/tmp", {}},
      {6, gone_pid + gone_pid, "/", {live.pid()}},  // an ended member costs a failed write per hierarchy
  };
  for (const auto& row : rows) {
    std::string cwd;
    EXPECT_EQ(row.log, place(row.n, &cwd)) << row.n;
    EXPECT_EQ(row.cwd, cwd) << row.n;
    for (const char* h : {"/memory/vsd_", "/cpu/vsd_"}) {
      EXPECT_EQ(0777, mode_of(h + std::to_string(row.n))) << h << row.n;
      EXPECT_EQ(row.tasks, tasks_of(h + std::to_string(row.n) + "/tasks")) << h << row.n;
    }
  }

  // Again on cgroups that exist: nothing new is made, their settings stay,
  // and a member moved out meanwhile is moved back.
  ASSERT_EQ(0, set_mem_group(3, 4096));
  ASSERT_EQ(0, set_cpu_group(3, 5));
  const unsigned long long mem_dir = inode_of("/memory/vsd_3");
  write_file("/memory/tasks", std::to_string(b.pid()));
  write_file("/cpu/tasks", std::to_string(b.pid()));
  std::string cwd;
  EXPECT_EQ(stat_fail, place(3, &cwd));
  EXPECT_EQ(mem_dir, inode_of("/memory/vsd_3"));
  EXPECT_EQ("4194304", control_value("/memory/vsd_3/memory.limit_in_bytes"));
  EXPECT_EQ("512", control_value("/cpu/vsd_3/cpu.shares"));
  EXPECT_THAT(tasks_of("/cpu/vsd_3/tasks"), UnorderedElementsAre(a.pid(), b.pid()));
  EXPECT_THAT(tasks_of("/memory/vsd_3/tasks"), UnorderedElementsAre(a.pid(), b.pid()));
}

TEST_F(CgroupTest, MemoryLimitsAndCpuWeightReadBackAsWritten) {
  // Before the cgroups exist.
  EXPECT_EQ(kTag + "set_mem_limit_group: fopen fail: No such file or directory\n" + kTag +
                "set_mem_group: set_hard_mem_limit fail: No such file or directory\n" + kTag +
                "set_cpu_group: fopen fail: No such file or directory\n",
            logged([] {
              EXPECT_EQ(-ENOENT, set_mem_group(8, 1024));
              EXPECT_EQ(-ENOENT, set_cpu_group(8, 10));
            }));
  ASSERT_EQ(0, set_cgroups_all(8));
  for (auto [kib, bytes] : {std::pair{1024u, "1048576"}, {65536u, "67108864"}}) {
    ASSERT_EQ(0, set_mem_group(8, kib));
    EXPECT_EQ(bytes, control_value("/memory/vsd_8/memory.limit_in_bytes"));
    EXPECT_EQ(bytes, control_value("/memory/vsd_8/memory.soft_limit_in_bytes"));
  }
  for (auto [weight, shares] : {std::pair{1u, "102"}, {5u, "512"}, {10u, "1024"}, {15u, "1536"}}) {
    EXPECT_EQ(0, set_cpu_group(8, weight));
    EXPECT_EQ(shares, control_value("/cpu/vsd_8/cpu.shares")) << weight;
  }
  // Refused by the kernel: a weight whose share overflows 32 bits is written
  // negative; a hard limit below memory that can't be reclaimed (locked, and
  // no swap) is refused, and the soft limit is then left alone.
  Hog hog(8192, {}, {"/memory/vsd_8/tasks"});
  EXPECT_EQ(kTag + "set_cpu_group: fwrite fail: Invalid argument\n" + kTag +
                "set_mem_limit_group: fwrite fail: Device or resource busy\n" + kTag +
                "set_mem_group: set_hard_mem_limit fail: Device or resource busy\n",
            logged([] {
              EXPECT_EQ(-EINVAL, set_cpu_group(8, 3000000));
              EXPECT_EQ(-EBUSY, set_mem_group(8, 1024));
            }));
  EXPECT_EQ("1536", control_value("/cpu/vsd_8/cpu.shares"));
  EXPECT_EQ("67108864", control_value("/memory/vsd_8/memory.soft_limit_in_bytes"));
}

}  // namespace
}  // namespace kiv::test
