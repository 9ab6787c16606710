// A VSD's cgroups: the members moved into both hierarchies, the memory
// limits and the cpu weight, checked in the kernel's own files.
#include <errno.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "kiv_dbg.h"
#include "kiv_vsd.h"
#include "support/capture.h"
#include "support/log_text.h"
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
    if (IsSkipped()) return;
    require_cgroups();
    if (IsSkipped()) return;
    ASSERT_NE(nullptr, getcwd(cwd_, sizeof cwd_));
  }
  void TearDown() override {
    if (cwd_[0] != '\0') (void)chdir(cwd_);
    VsdTest::TearDown();
  }

  // set_cgroups_all(n) with the library's log lines on, started from the
  // working directory /tmp; what it printed, source lines masked.
  std::string place(int n) {
    EXPECT_EQ(0, chdir("/tmp"));
    g_kiv_dbg_level[KIV_DBG_LIB] = 0;
    std::string out = capture_stdout([n] { EXPECT_EQ(0, set_cgroups_all(n)); });
    g_kiv_dbg_level[KIV_DBG_LIB] = KIV_DBG_OFF;
    return without_line_numbers(out);
  }

  static std::string cwd() {
    char buf[PATH_MAX] = {};
    return getcwd(buf, sizeof buf) != nullptr ? buf : "?";
  }

 private:
  char cwd_[PATH_MAX] = {};
};

const std::string kTag = "[KIV:kiv_vsd:N]";

TEST_F(CgroupTest, EveryRecordedMemberMovesIntoBothCgroups) {
  Hog a(0, {3300});
  Hog b(0, {});
  make_member_dir(3);
  add_member(3, a.pid());
  add_member(3, b.pid());
  // Not members: names that are no pids (one would read as 0 and move the
  // caller itself), and an entry whose stat fails.
  write_file("/tmp/vsd/3/kiv/notes", "");
  write_file("/tmp/vsd/3/kiv/0", "");
  ASSERT_EQ(0, symlink("/nowhere", "/tmp/vsd/3/kiv/424242"));

  EXPECT_EQ(kTag + "set_cgroups: stat fail: No such file or directory\n", place(3));
  EXPECT_EQ("/", cwd());
  EXPECT_EQ(0777, mode_of("/memory/vsd_3"));
  EXPECT_EQ(0777, mode_of("/cpu/vsd_3"));
  for (const char* tasks : {"/memory/vsd_3/tasks", "/cpu/vsd_3/tasks"})
    EXPECT_THAT(tasks_of(tasks), UnorderedElementsAre(a.pid(), b.pid())) << tasks;

  // Again on cgroups that exist: nothing new is made, their settings stay,
  // and a member that was moved out meanwhile is moved back.
  ASSERT_EQ(0, set_mem_group(3, 4096));
  ASSERT_EQ(0, set_cpu_group(3, 5));
  const unsigned long long mem_dir = inode_of("/memory/vsd_3");
  write_file("/memory/tasks", std::to_string(b.pid()));
  write_file("/cpu/tasks", std::to_string(b.pid()));
  ASSERT_THAT(tasks_of("/memory/vsd_3/tasks"), ElementsAre(a.pid()));

  EXPECT_EQ(kTag + "set_cgroups: stat fail: No such file or directory\n", place(3));
  EXPECT_EQ(mem_dir, inode_of("/memory/vsd_3"));
  EXPECT_EQ("4194304", control_value("/memory/vsd_3/memory.limit_in_bytes"));
  EXPECT_EQ("512", control_value("/cpu/vsd_3/cpu.shares"));
  for (const char* tasks : {"/memory/vsd_3/tasks", "/cpu/vsd_3/tasks"})
    EXPECT_THAT(tasks_of(tasks), UnorderedElementsAre(a.pid(), b.pid())) << tasks;
  EXPECT_EQ(0u, tasks_of("/memory/vsd_3/tasks").count(getpid()));
}

TEST_F(CgroupTest, WalkEdgeCases) {
  // Only the database directory: nothing moves, the call ends in "/".
  make_member_dir(4);
  EXPECT_EQ("", place(4));
  EXPECT_EQ("/", cwd());
  EXPECT_THAT(tasks_of("/memory/vsd_4/tasks"), IsEmpty());
  EXPECT_THAT(tasks_of("/cpu/vsd_4/tasks"), IsEmpty());

  // No member directory: the cgroups are made all the same, the working
  // directory stays where it was.
  EXPECT_EQ(kTag + "set_cgroups: chdir fail: No such file or directory\n" + kTag +
                "set_cgroups_all: set mem group fail: No such file or directory\n",
            place(5));
  EXPECT_EQ("/tmp", cwd());
  EXPECT_TRUE(exists("/memory/vsd_5/tasks"));
  EXPECT_TRUE(exists("/cpu/vsd_5/cpu.shares"));

  // A member that has ended costs one failed write per hierarchy; the live
  // one is still moved.
  Hog live(0, {});
  make_member_dir(6);
  add_member(6, ended_pid());
  add_member(6, live.pid());
  EXPECT_EQ(kTag + "add_cgroups: fwrite fail: No such process\n" + kTag +
                "add_cgroups: fwrite fail: No such process\n",
            place(6));
  EXPECT_THAT(tasks_of("/memory/vsd_6/tasks"), ElementsAre(live.pid()));
  EXPECT_THAT(tasks_of("/cpu/vsd_6/tasks"), ElementsAre(live.pid()));

  // A name beyond the pid range is no member: it is skipped, not cut down
  // to some other pid.
  make_member_dir(7);
  write_file("/tmp/vsd/7/kiv/4294967297", "");  // 2^32 + 1 would read as pid 1
  EXPECT_EQ("", place(7));
  EXPECT_THAT(tasks_of("/memory/vsd_7/tasks"), IsEmpty());
}

TEST_F(CgroupTest, MemoryLimitsAndCpuWeightReadBackAsWritten) {
  g_kiv_dbg_level[KIV_DBG_LIB] = 0;
  // Before the cgroups exist.
  std::string out = capture_stdout([] {
    EXPECT_EQ(-ENOENT, set_mem_group(8, 1024));
    EXPECT_EQ(-ENOENT, set_cpu_group(8, 10));
  });
  EXPECT_EQ(kTag + "set_mem_limit_group: fopen fail: No such file or directory\n" + kTag +
                "set_mem_group: set_hard_mem_limit fail: No such file or directory\n" + kTag +
                "set_cpu_group: fopen fail: No such file or directory\n",
            without_line_numbers(out));
  g_kiv_dbg_level[KIV_DBG_LIB] = KIV_DBG_OFF;

  ASSERT_EQ(0, set_cgroups_all(8));
  ASSERT_EQ(0, set_mem_group(8, 1024));
  EXPECT_EQ("1048576", control_value("/memory/vsd_8/memory.limit_in_bytes"));
  EXPECT_EQ("1048576", control_value("/memory/vsd_8/memory.soft_limit_in_bytes"));
  ASSERT_EQ(0, set_mem_group(8, 65536));
  EXPECT_EQ("67108864", control_value("/memory/vsd_8/memory.limit_in_bytes"));
  EXPECT_EQ("67108864", control_value("/memory/vsd_8/memory.soft_limit_in_bytes"));

  for (auto [weight, shares] : {std::pair{1u, "102"}, {5u, "512"}, {10u, "1024"}, {15u, "1536"}}) {
    EXPECT_EQ(0, set_cpu_group(8, weight));
    EXPECT_EQ(shares, control_value("/cpu/vsd_8/cpu.shares")) << "weight " << weight;
  }

  // Refusals by the kernel. A weight whose share overflows 32 bits is
  // written negative; a hard limit below memory that can't be reclaimed
  // (locked, and there is no swap to take it anyway) is refused, and the
  // soft limit is then left alone.
  Hog hog(8192, {}, {"/memory/vsd_8/tasks"});
  g_kiv_dbg_level[KIV_DBG_LIB] = 0;
  out = capture_stdout([] {
    EXPECT_EQ(-EINVAL, set_cpu_group(8, 3000000));
    EXPECT_EQ(-EBUSY, set_mem_group(8, 1024));
  });
  EXPECT_EQ(kTag + "set_cpu_group: fwrite fail: Invalid argument\n" + kTag +
                "set_mem_limit_group: fwrite fail: Device or resource busy\n" + kTag +
                "set_mem_group: set_hard_mem_limit fail: Device or resource busy\n",
            without_line_numbers(out));
  EXPECT_EQ("1536", control_value("/cpu/vsd_8/cpu.shares"));
  EXPECT_EQ("67108864", control_value("/memory/vsd_8/memory.limit_in_bytes"));
  EXPECT_EQ("67108864", control_value("/memory/vsd_8/memory.soft_limit_in_bytes"));
}

}  // namespace
}  // namespace kiv::test
