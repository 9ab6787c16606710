// The memory watch: smaps sums, the cgroup limit it enforces, and polls
// over processes with known resident sets.
#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "kiv_dbg.h"
#include "kiv_vsd.h"
#include "support/capture.h"
#include "support/log_text.h"
#include "support/sanitizer.h"
#include "support/vsd_world.h"

namespace kiv::test {
namespace {

using ::testing::AllOf;
using ::testing::Ge;
using ::testing::HasSubstr;
using ::testing::Le;
using ::testing::Lt;

const std::string kTag = "[KIV:kiv_vsd:N]";

using MemWatchTest = VsdTest;

// One mapping of an smaps file: its header line names path.
std::string mapping(const std::string& path, int rss_kib) {
  return "7f0000000000-7f0000021000 r-xp 00000000 08:01 1234        " + path + "\n"
         "Size:                132 kB\n"
         "KernelPageSize:        4 kB\n"
         "Rss:                 " + std::to_string(rss_kib) + " kB\n"
         "Pss:                  40 kB\n"
         "Shared_Clean:          8 kB\n"
         "Private_Dirty:         4 kB\n"
         "Referenced:           64 kB\n"
         "Anonymous:             0 kB\n"
         "Swap:                  0 kB\n"
         "SwapPss:               0 kB\n"
         "Locked:                0 kB\n"
         "VmFlags: rd ex mr mw me sd\n";
}

TEST_F(MemWatchTest, SmapsSumsLeaveOutLibraryMappings) {
  write_file("/tmp/smaps.mixed",
             mapping("/usr/bin/dbus-daemon", 100) + mapping("/usr/lib/x86_64-linux-gnu/libc.so.6", 200) +
                 mapping("[heap]", 30) + mapping("", 7) + mapping("/lib/ld-linux.so.2", 5000) +
                 mapping("/data/app/libfoo.so", 400) + mapping("[stack]", 12) +
                 // a header line longer than the line buffer
                 mapping("/opt/" + std::string(1500, 'x'), 1));
  uint64_t table[KIV_VSD_SLOTS] = {};
  ASSERT_EQ(0, get_vsd_mem("/tmp/smaps.mixed", 2, table));
  EXPECT_EQ(100u + 30 + 7 + 12 + 1, table[2]);
  // Sums add up: a second process of the same VSD.
  ASSERT_EQ(0, get_vsd_mem("/tmp/smaps.mixed", 2, table));
  EXPECT_EQ(2 * 150u, table[2]);

  // A process of libraries only contributes nothing.
  write_file("/tmp/smaps.libs", mapping("/usr/lib/libz.so.1", 50) + mapping("/lib64/libm.so.6", 60));
  ASSERT_EQ(0, get_vsd_mem("/tmp/smaps.libs", 3, table));
  EXPECT_EQ(0u, table[3]);

  // A negative VSD number is the host; one beyond the table counts nowhere.
  ASSERT_EQ(0, get_vsd_mem("/tmp/smaps.mixed", -30, table));
  EXPECT_EQ(150u, table[0]);
  uint64_t before[KIV_VSD_SLOTS];
  std::copy(std::begin(table), std::end(table), before);
  EXPECT_EQ(0, get_vsd_mem("/tmp/smaps.mixed", 16, table));
  EXPECT_EQ(0, get_vsd_mem("/tmp/smaps.mixed", 1000, table));
  EXPECT_TRUE(std::equal(std::begin(table), std::end(table), before));

  // Unreadable or bad arguments.
  g_kiv_dbg_level[KIV_DBG_LIB] = 0;
  std::string out = capture_stdout([&] {
    EXPECT_EQ(-ENOENT, get_vsd_mem("/tmp/smaps.none", 2, table));
    EXPECT_EQ(-EINVAL, get_vsd_mem(nullptr, 2, table));
    EXPECT_EQ(-EINVAL, get_vsd_mem("/tmp/smaps.mixed", 2, nullptr));
  });
  EXPECT_EQ(kTag + "get_vsd_mem: open conf file fail: No such file or directory\n", without_line_numbers(out));
  EXPECT_TRUE(std::equal(std::begin(table), std::end(table), before));

  // A real process: its touched anonymous memory, plus a little of its own
  // (program, stack), never its libraries.
  Hog hog(4096, {});
  uint64_t real[KIV_VSD_SLOTS] = {};
  ASSERT_EQ(0, get_vsd_mem(("/proc/" + std::to_string(hog.pid()) + "/smaps").c_str(), 5, real));
  EXPECT_THAT(real[5], AllOf(Ge(4096u), Le(4096u + kOwnPagesKiB)));
}

TEST_F(MemWatchTest, LimitAsTheWatchReadsIt) {
  require_cgroups();
  if (IsSkipped()) return;
  ASSERT_EQ(0, mkdir("/memory/vsd_0", 0755));
  write_file("/memory/vsd_0/memory.limit_in_bytes", "1048576");
  EXPECT_EQ(0u, get_maxmem_set(0));  // the host has no limit
  ASSERT_EQ(0, rmdir("/memory/vsd_0"));

  ASSERT_EQ(0, mkdir("/memory/vsd_2", 0755));
  // A fresh cgroup is unlimited: a value no sum reaches.
  EXPECT_EQ(strtoull(control_value("/memory/vsd_2/memory.limit_in_bytes").c_str(), nullptr, 10) / 1024,
            get_maxmem_set(2));
  EXPECT_GT(get_maxmem_set(2), 1ull << 40);
  ASSERT_EQ(0, set_mem_group(2, 1536));
  EXPECT_EQ(1536u, get_maxmem_set(2));
  // Below 1 KiB the watch is off for the VSD.
  write_file("/memory/vsd_2/memory.limit_in_bytes", "512");
  EXPECT_EQ(0u, get_maxmem_set(2));

  g_kiv_dbg_level[KIV_DBG_LIB] = 0;
  std::string out = capture_stdout([] { EXPECT_EQ(0u, get_maxmem_set(9)); });
  EXPECT_EQ(kTag + "get_maxmem_set: open fail: No such file or directory\n", without_line_numbers(out));
}

TEST_F(MemWatchTest, FindMaxRssWithoutACandidateKillsNothing) {
  make_member_dir(9);
  const pid_t gone = ended_pid();
  add_member(9, gone);
  write_file("/tmp/vsd/9/kiv/0", "");  // a kill of 0 would reach this test's process group
  write_file("/tmp/vsd/9/kiv/notes", "");
  g_kiv_dbg_level[KIV_DBG_LIB] = 0;
  std::string out = capture_stdout([] {
    find_max_rss(9);
    find_max_rss(10);
  });
  EXPECT_EQ(kTag + "find_max_rss: fopen fail: No such file or directory\n" + kTag +
                "find_max_rss: no member of vsd 9 has resident memory\n" + kTag +
                "find_max_rss: open dir fail: No such file or directory\n",
            without_line_numbers(out));
}

// Two polls over four VSDs: one over its limit (twice), one exactly at it,
// one without its directory, one with the watch off; plus a process whose
// group lies beyond the VSD numbers.
TEST_F(MemWatchTest, PollKillsTheLargestMemberOfEachVsdOverItsLimit) {
  require_cgroups();
  if (IsSkipped()) return;
  for (int n : {5, 6, 7, 8}) ASSERT_EQ(0, mkdir(("/memory/vsd_" + std::to_string(n)).c_str(), 0755));
  for (int n : {5, 6, 8}) make_member_dir(n);

  // VSD 5: 4 + 12 MiB of members, and 16 MiB of a process that carries the
  // group but has no member file: it counts, but is never chosen.
  Hog small(4096, {3500});
  Hog big(12288, {3500});
  Hog unlisted(16384, {3500});
  add_member(5, small.pid());
  add_member(5, big.pid());
  ASSERT_EQ(0, set_mem_group(5, 20480));
  // VSD 6: measured first without a limit, then limited to its sum.
  Hog six_a(2048, {3600});
  Hog six_b(1024, {3600, 4100});  // only the first (lowest) group counts
  add_member(6, six_a.pid());
  add_member(6, six_b.pid());
  // VSD 7: a limit and a process, but no /tmp/vsd/7.
  Hog seven(4096, {3700});
  ASSERT_EQ(0, set_mem_group(7, 1024));
  // VSD 8: a limit of 0 switches the watch off.
  Hog eight(4096, {3800});
  add_member(8, eight.pid());
  write_file("/memory/vsd_8/memory.limit_in_bytes", "0");
  // Group 4600 reads as VSD 16: it has no slot and is not counted.
  Hog beyond(49152, {4600});

  g_kiv_dbg_level[KIV_DBG_LIB] = 0;
  std::string out = capture_stdout([] { set_vsd_mem(); });
  g_kiv_dbg_level[KIV_DBG_LIB] = KIV_DBG_OFF;
  EXPECT_THAT(out, HasSubstr("]max_pid " + std::to_string(big.pid()) + " max_rss "));
  EXPECT_TRUE(big.killed_by(SIGKILL));
  for (Hog* h : {&small, &unlisted, &six_a, &six_b, &seven, &eight, &beyond})
    EXPECT_TRUE(h->running()) << h->pid();

  EXPECT_EQ(20480u, vsd_use_mem(5));  // its limit, not its sum
  const uint64_t six = vsd_use_mem(6);
  EXPECT_THAT(six, AllOf(Ge(3072u), Le(3072u + 2 * kOwnPagesKiB)));
  EXPECT_EQ(0u, vsd_use_mem(7));
  EXPECT_EQ(0u, vsd_use_mem(8));
  // The host's slot holds this test's own processes, far below the 48 MiB
  // that the group-4600 process would add (a sanitizer's shadow memory
  // makes the test process itself that large).
  if (!kSanitized) {
    EXPECT_THAT(vsd_use_mem(0), AllOf(Ge(1u), Lt(49152u)));
  }
  for (int n : {1, 2, 3, 4, 9, 15}) EXPECT_EQ(0u, vsd_use_mem(n)) << n;
  EXPECT_EQ(0u, vsd_use_mem(16));
  EXPECT_EQ(0u, vsd_use_mem(-1));
  for (int n = 0; n < KIV_VSD_SLOTS; ++n) {
    EXPECT_EQ(0u, array_rss[n]) << n;
    EXPECT_EQ(mem_use_rss[n], vsd_use_mem(n)) << n;
  }

  // Second cycle. VSD 6 at exactly its limit is not over it. VSD 5 is still
  // over (16 MiB unlisted + 4 MiB + the members' own pages): its largest
  // listed member left is the small one; the member file of the killed one
  // is passed over.
  ASSERT_EQ(0, set_mem_group(6, six));
  set_vsd_mem();
  EXPECT_EQ(six, vsd_use_mem(6));
  EXPECT_TRUE(six_a.running());
  EXPECT_TRUE(six_b.running());
  EXPECT_TRUE(small.killed_by(SIGKILL));
  EXPECT_TRUE(unlisted.running());
  EXPECT_EQ(20480u, vsd_use_mem(5));
}

}  // namespace
}  // namespace kiv::test
