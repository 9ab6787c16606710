// A VSD's cgroups and memory watch: the members moved into both
// hierarchies, limits and cpu weight in the kernel's own files, and polls
// over processes with known resident sets.
#include <stdint.h>

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
};

// Names that are no pids are no members: 0 would move the caller itself,
// 2^32 + 1 would read as pid 1. Nor is an entry whose stat fails.
TEST_F(CgroupTest, MembersMoveIntoBothCgroupsWhoseSettingsReadBack) {
  Hog a(0, {3300}), b(0, {});
  make_member_dir(3, {a.pid(), b.pid()});
  for (const char* name : {"notes", "0", "4294967297"}) write_file("/tmp/vsd/3/kiv/" + std::string(name));
  ASSERT_EQ(0, symlink("/nowhere", "/tmp/vsd/3/kiv/424242"));
  EXPECT_EQ(0, set_cgroups_all(3));
  for (const char* tasks : {"/memory/vsd_3/tasks", "/cpu/vsd_3/tasks"})
    EXPECT_EQ((std::set<pid_t>{a.pid(), b.pid()}), tasks_of(tasks)) << tasks;
  for (auto [kib, bytes] : {std::pair{1024u, "1048576\n"}, {65536u, "67108864\n"}}) {
    ASSERT_EQ(0, set_mem_group(3, kib));
    EXPECT_EQ(std::string(bytes) + bytes, read_file("/memory/vsd_3/memory.limit_in_bytes") +
                                              read_file("/memory/vsd_3/memory.soft_limit_in_bytes"));
  }
  for (auto [weight, shares] : {std::pair{1u, "102\n"}, {5u, "512\n"}, {10u, "1024\n"}, {15u, "1536\n"}}) {
    EXPECT_EQ(0, set_cpu_group(3, weight));
    EXPECT_EQ(shares, read_file("/cpu/vsd_3/cpu.shares")) << weight;
  }
}

// VSD 5 over its limit, 6 under it, 9 over it without a candidate (a kill
// of 0 would reach this test's process group), and a process whose group
// lies beyond the VSD numbers.
TEST_F(CgroupTest, PollKillsTheLargestMemberOfEachVsdOverItsLimit) {
  for (int n : {5, 6, 9}) make_dirs({"/memory/vsd_" + std::to_string(n)});
  // VSD 5: 4 + 12 MiB of members, and 16 MiB of a process of the group
  // without a member file: it counts, but is never chosen.
  Hog small(4096, {3500}), big(12288, {3500}), unlisted(16384, {3500});
  make_member_dir(5, {small.pid(), big.pid()});
  ASSERT_EQ(0, set_mem_group(5, 20480));
  EXPECT_EQ(20480u, get_maxmem_set(5));
  Hog six_a(2048, {3600}), six_b(1024, {3600, 4100});  // only the first group counts
  make_member_dir(6, {six_a.pid(), six_b.pid()});
  Hog nine(2048, {3900});
  make_member_dir(9, {ended_pid(), 0});
  write_file("/tmp/vsd/9/kiv/notes");
  ASSERT_EQ(0, set_mem_group(9, 1024));  // 6: a fresh cgroup, unlimited
  Hog beyond(49152, {4600});             // VSD "16": no slot, not counted

  set_vsd_mem();
  EXPECT_TRUE(big.killed_by(SIGKILL));
  for (Hog* h : {&small, &unlisted, &six_a, &six_b, &nine, &beyond}) EXPECT_TRUE(h->running()) << h->pid();
  EXPECT_EQ(20480u, vsd_use_mem(5));  // over: the limit, not the sum
  EXPECT_EQ(1024u, vsd_use_mem(9));
  // Their touched memory and a little of their own, not their libraries.
  EXPECT_THAT(vsd_use_mem(6), AllOf(Ge(3072u), Le(3072u + 2 * kOwnPagesKiB)));
  // The host's slot holds this test's own processes, far below the 48 MiB
  // of the group-4600 process (a sanitizer's shadow makes the test that big).
  EXPECT_THAT(vsd_use_mem(0), AllOf(Ge(1u), Le(kSanitized ? UINT64_MAX : 49151u)));
  for (int n : {1, 15, 16, -1}) EXPECT_EQ(0u, vsd_use_mem(n)) << n;
}

}  // namespace
}  // namespace kiv::test
