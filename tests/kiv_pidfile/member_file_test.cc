// Member files, and the database file written for a registration record.
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "kiv_dbg.h"
#include "kiv_pidfile.h"
#include "kiv_xtach.h"
#include "support/capture.h"
#include "support/fixture.h"
#include "support/files.h"
#include "support/log_text.h"

namespace kiv::test {
namespace {

class MemberFileTest : public SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    for (const char* d : {"/tmp/vsd/2", "/tmp/vsd/2/kiv", "/tmp/vsd/2/kiv/db"}) mkdir(d, 0755);
    keep_descriptors_matching("/tmp/vsd/2/kiv/db/");
  }
  static kiv_exit_action_rec record(int pid, int vsd, const char* cmdline) {
    kiv_exit_action_rec rec;
    memset(&rec, 0, sizeof rec);
    rec.pid = pid;
    rec.vsd_id = vsd;
    strncpy(rec.cmdline, cmdline, sizeof rec.cmdline - 1);
    return rec;
  }
};

TEST_F(MemberFileTest, MemberFileOnlyInsideAVsd) {
  save_vsd_flag(0, 815);
  EXPECT_EQ(std::vector<std::string>{"db"}, list_dir("/tmp/vsd/0/kiv"));
  EXPECT_TRUE(list_dir("/tmp/vsd/0/kiv/db").empty());
  save_vsd_flag(2, 815);
  struct stat st;
  ASSERT_EQ(0, stat("/tmp/vsd/2/kiv/815", &st));
  EXPECT_EQ(0, st.st_size);
  save_vsd_flag(9, 815);  // no such VSD tree: silently nothing
  EXPECT_NE(0, access("/tmp/vsd/9", F_OK));
}

TEST_F(MemberFileTest, RecordGivesDatabaseAndMemberFile) {
  kiv_exit_action_rec rec = record(4242, 2, "/bin/prog arg");
  ASSERT_EQ(0, kiv_mk_pidfile(&rec, 1));
  int pid = 0, kind = 0;
  char cmd[64];
  EXPECT_EQ(0, access("/tmp/vsd/2/kiv/4242", F_OK));
  ASSERT_EQ(0, kiv_db_read("/tmp/vsd/2/kiv/db/prog.4242", &pid, &kind, cmd, sizeof cmd));
  EXPECT_EQ(4242, pid);
  EXPECT_EQ(KIV_DB_KIND_RESTART, kind);
  EXPECT_STREQ("/bin/prog arg", cmd);
  ASSERT_EQ(0, kiv_mk_pidfile(&rec, 2));
  ASSERT_EQ(0, kiv_db_read("/tmp/vsd/2/kiv/db/prog.4242", &pid, &kind, cmd, sizeof cmd));
  EXPECT_EQ(KIV_DB_KIND_OTHER, kind);

  // A field without its NUL is read no further than its 256 bytes.
  memset(rec.cmdline, 'c', sizeof rec.cmdline);
  memcpy(rec.cmdline, "/x ", 3);
  memset(rec.name, 'n', sizeof rec.name);
  ASSERT_EQ(0, kiv_mk_pidfile(&rec, 1));
  char wide[300];
  ASSERT_EQ(0, kiv_db_read("/tmp/vsd/2/kiv/db/x.4242", &pid, &kind, wide, sizeof wide));
  // The file holds "4242\n2\n" and 255 characters, of which 248 are read.
  EXPECT_EQ("/x " + std::string(255 - 7 - 3, 'c'), std::string(wide));

  EXPECT_EQ(-1, kiv_mk_pidfile(nullptr, 1));
}

TEST_F(MemberFileTest, FailedDatabaseMakesNoMemberFile) {
  kiv_exit_action_rec rec = record(77, 4, "/bin/prog");
  g_kiv_dbg_level[KIV_DBG_LIB] = 0;
  std::string out = capture_stdout([&] { EXPECT_EQ(-1, kiv_mk_pidfile(&rec, 1)); });
  g_kiv_dbg_level[KIV_DBG_LIB] = KIV_DBG_OFF;
  EXPECT_EQ(
      "[KIV:kiv_pidfile:N]kiv_db_create vsd:4 path:/bin/prog file:/tmp/vsd/4/kiv/db/prog.77\n"
      "[KIV:kiv_pidfile:N]kiv_db_create: fd < 0: No such file or directory\n"
      "[KIV:kiv_pidfile:N]kiv_mk_pidfile: kiv create db failed! (ret=-1)\r\n",
      without_line_numbers(out));
  ASSERT_EQ(0, mkdir("/tmp/vsd/4", 0755));
  ASSERT_EQ(0, mkdir("/tmp/vsd/4/kiv", 0755));
  EXPECT_EQ(-1, kiv_mk_pidfile(&rec, 1));  // member directory but no db
  EXPECT_TRUE(list_dir("/tmp/vsd/4/kiv").empty());
}

}  // namespace
}  // namespace kiv::test
