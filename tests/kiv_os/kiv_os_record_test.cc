// Record memory: page-sized mappings of named shared memory, shared between
// processes, removed by name on close, and bounded copies.
#include <errno.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "kiv_os.h"
#include "support/child.h"
#include "support/fixture.h"

namespace kiv::test {
namespace {

using RecordTest = SandboxTest;

bool shm_exists(const char* name) {
  struct stat st;
  return stat((std::string("/dev/shm") + name).c_str(), &st) == 0;
}

TEST_F(RecordTest, SizeOneMapsOneZeroedPage) {
  kiv_os_record rec = {};
  int err = -1;
  ASSERT_EQ(0, kiv_os_init_record_memory("/kiv-rec-page", 1, &rec, &err));
  EXPECT_EQ(0, err);
  const long page = sysconf(_SC_PAGESIZE);
  EXPECT_EQ(static_cast<uint32_t>(page), rec.size);
  EXPECT_STREQ("/kiv-rec-page", rec.path);
  struct stat st;
  ASSERT_EQ(0, stat("/dev/shm/kiv-rec-page", &st));
  EXPECT_EQ(page, st.st_size);
  // The whole page is mapped and zero.
  const auto* bytes = static_cast<const unsigned char*>(rec.addr);
  EXPECT_EQ(0, bytes[0]);
  EXPECT_EQ(0, bytes[page - 1]);
  ASSERT_EQ(0, kiv_os_close_record_memory(&rec, &err));

  ASSERT_EQ(0, kiv_os_init_record_memory("/kiv-rec-page", static_cast<uint32_t>(page) + 1, &rec, &err));
  EXPECT_EQ(static_cast<uint32_t>(2 * page), rec.size);
  ASSERT_EQ(0, kiv_os_close_record_memory(&rec, &err));
}

TEST_F(RecordTest, TwoProcessesShareTheBytes) {
  kiv_os_record rec = {};
  int err = 0;
  ASSERT_EQ(0, kiv_os_init_record_memory("/kiv-rec-shared", 64, &rec, &err));
  ChildResult r = run_in_child([&] {
    // A mapping of the child's own, through the name.
    kiv_os_record mine = {};
    int e = 0;
    if (kiv_os_init_record_memory("/kiv-rec-shared", 64, &mine, &e) != 0) return 1;
    if (mine.addr == rec.addr) return 2;
    return kiv_os_write_record_memory(&mine, "from child", 11, &e) != 0 ? 3 : 0;
  });
  ASSERT_TRUE(r.exited(0)) << r.status;
  char got[11] = {};
  ASSERT_EQ(0, kiv_os_read_record_memory(&rec, got, sizeof got));
  EXPECT_STREQ("from child", got);
  ASSERT_EQ(0, kiv_os_close_record_memory(&rec, &err));
}

TEST_F(RecordTest, CloseRemovesTheNameButNotOtherMappings) {
  kiv_os_record first = {}, old = {}, fresh = {};
  int err = 0;
  ASSERT_EQ(0, kiv_os_init_record_memory("/kiv-rec-close", 100, &first, &err));
  ASSERT_EQ(0, kiv_os_init_record_memory("/kiv-rec-close", 100, &old, &err));
  ASSERT_EQ(0, kiv_os_write_record_memory(&first, "old", 4, &err));
  ASSERT_EQ(0, kiv_os_close_record_memory(&first, &err));
  EXPECT_FALSE(shm_exists("/kiv-rec-close"));

  ASSERT_EQ(0, kiv_os_init_record_memory("/kiv-rec-close", 100, &fresh, &err));
  char got[4] = {'?', '?', '?', '?'};
  ASSERT_EQ(0, kiv_os_read_record_memory(&fresh, got, 4));
  EXPECT_EQ(0, memcmp(got, "\0\0\0\0", 4));
  ASSERT_EQ(0, kiv_os_read_record_memory(&old, got, 4));
  EXPECT_STREQ("old", got);

  ASSERT_EQ(0, kiv_os_close_record_memory(&fresh, &err));
  // The name is already gone: the mapping goes, the unlink reports it.
  EXPECT_EQ(-8, kiv_os_close_record_memory(&old, &err));
  EXPECT_EQ(ENOENT, err);
  // A closed handle holds nothing: closing it again unmaps nothing.
  EXPECT_EQ(-7, kiv_os_close_record_memory(&old, &err));
  EXPECT_EQ(EINVAL, err);
}

TEST_F(RecordTest, CopiesAreBoundedByTheMapping) {
  kiv_os_record rec = {};
  int err = 0;
  ASSERT_EQ(0, kiv_os_init_record_memory("/kiv-rec-bounds", 10, &rec, &err));
  std::string big(rec.size + 1, 'z');
  ASSERT_EQ(0, kiv_os_write_record_memory(&rec, "keep", 4, &err));

  err = 55;
  EXPECT_EQ(-1, kiv_os_write_record_memory(&rec, big.data(), rec.size + 1, &err));
  EXPECT_EQ(-1, kiv_os_write_record_memory(&rec, big.data(), 0, &err));
  EXPECT_EQ(-1, kiv_os_write_record_memory(&rec, nullptr, 1, &err));
  EXPECT_EQ(-1, kiv_os_write_record_memory(nullptr, big.data(), 1, &err));
  EXPECT_EQ(-1, kiv_os_write_record_memory(&rec, big.data(), 1, nullptr));
  EXPECT_EQ(55, err);  // refused arguments leave it alone

  std::string dst(rec.size + 1, '#');
  EXPECT_EQ(-1, kiv_os_read_record_memory(&rec, dst.data(), rec.size + 1));
  EXPECT_EQ(-1, kiv_os_read_record_memory(&rec, dst.data(), 0));
  EXPECT_EQ(-1, kiv_os_read_record_memory(nullptr, dst.data(), 1));
  EXPECT_EQ(-1, kiv_os_read_record_memory(&rec, nullptr, 1));
  EXPECT_EQ(std::string(rec.size + 1, '#'), dst);

  // Exactly size bytes is allowed both ways.
  ASSERT_EQ(0, kiv_os_read_record_memory(&rec, dst.data(), rec.size));
  EXPECT_EQ("keep", dst.substr(0, 4));
  ASSERT_EQ(0, kiv_os_write_record_memory(&rec, big.data(), rec.size, &err));
  EXPECT_EQ(0, err);
  ASSERT_EQ(0, kiv_os_close_record_memory(&rec, &err));
}

TEST_F(RecordTest, RefusedAndFailedInitialization) {
  kiv_os_record rec = {};
  int err = 77;
  EXPECT_EQ(-1, kiv_os_init_record_memory(nullptr, 1, &rec, &err));
  EXPECT_EQ(-1, kiv_os_init_record_memory("/kiv-rec-bad", 0, &rec, &err));
  EXPECT_EQ(-1, kiv_os_init_record_memory("/kiv-rec-bad", 1, nullptr, &err));
  EXPECT_EQ(-1, kiv_os_init_record_memory("/kiv-rec-bad", 1, &rec, nullptr));
  EXPECT_EQ(77, err);
  EXPECT_EQ(-1, kiv_os_close_record_memory(nullptr, &err));
  EXPECT_EQ(-1, kiv_os_close_record_memory(&rec, nullptr));

  // A name with an inner slash is no valid object name.
  EXPECT_EQ(-4, kiv_os_init_record_memory("/kiv/rec", 1, &rec, &err));
  EXPECT_NE(0, err);
  EXPECT_EQ(nullptr, rec.path);
  EXPECT_EQ(0u, rec.size);

  // Whole pages of this size do not fit 32 bits: the name is removed again.
  EXPECT_EQ(-5, kiv_os_init_record_memory("/kiv-rec-huge", 0xFFFFFFFFu, &rec, &err));
  EXPECT_EQ(EOVERFLOW, err);
  EXPECT_FALSE(shm_exists("/kiv-rec-huge"));
  EXPECT_EQ(-1, kiv_os_read_record_memory(&rec, &err, 1));

  // The same handle works afterwards.
  ASSERT_EQ(0, kiv_os_init_record_memory("/kiv-rec-bad", 1, &rec, &err));
  ASSERT_EQ(0, kiv_os_close_record_memory(&rec, &err));
}

}  // namespace
}  // namespace kiv::test
