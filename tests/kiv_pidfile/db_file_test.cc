// Pid database files and member files in the sandbox's VSD tree, with the
// lock looked at from other processes.
#include "kiv_pidfile.h"

#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "kiv_dbg.h"
#include "support/capture.h"
#include "support/fixture.h"
#include "support/child.h"
#include "support/files.h"
#include "support/log_text.h"

namespace kiv::test {
namespace {

constexpr char kDb0[] = "/tmp/vsd/0/kiv/db/";

class DbFileTest : public SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    old_umask_ = umask(022);
  }
  void TearDown() override {
    umask(old_umask_);
    SandboxTest::TearDown();
  }

  // The descriptors of this process open on path.
  static std::vector<int> fds_on(const std::string& path) {
    std::vector<int> fds;
    for (const auto& [fd, target] : open_descriptors()) {
      if (target == path) fds.push_back(fd);
    }
    return fds;
  }
  static void close_all_on(const std::string& path) {
    for (int fd : fds_on(path)) close(fd);
  }

  // The text of path as another process reads it.
  static std::string content_via_child(const std::string& path) {
    return run_in_child([&] {
      const std::string c = read_file(path);
      return fwrite(c.data(), 1, c.size(), stdout) == c.size() ? 0 : 1;
    }).output;
  }

 private:
  mode_t old_umask_ = 0;
};

TEST_F(DbFileTest, FileName) {
  char buf[256];
  EXPECT_EQ(26, kiv_get_db_file_name(2, 815, "/usr/sbin/prog -x /a/b", buf, sizeof buf));
  EXPECT_STREQ("/tmp/vsd/2/kiv/db/prog.815", buf);
  kiv_get_db_file_name(0, 7, "prog", buf, sizeof buf);
  EXPECT_STREQ("/tmp/vsd/0/kiv/db/prog.7", buf);
  kiv_get_db_file_name(0, 7, "dir/sub/prog arg/x", buf, sizeof buf);
  EXPECT_STREQ("/tmp/vsd/0/kiv/db/prog.7", buf);
  // The first word is cut to 255 characters before its base name is taken.
  const std::string word = "/" + std::string(200, 'a') + "/" + std::string(100, 'b');
  char big[512];
  kiv_get_db_file_name(0, 7, word.c_str(), big, sizeof big);
  EXPECT_EQ("/tmp/vsd/0/kiv/db/" + std::string(255 - 202, 'b') + ".7", std::string(big));
  // Cut to the destination; the result is the whole length.
  char small[10];
  EXPECT_EQ(26, kiv_get_db_file_name(2, 815, "/usr/sbin/prog", small, sizeof small));
  EXPECT_STREQ("/tmp/vsd/", small);
  EXPECT_EQ(-1, kiv_get_db_file_name(2, 815, nullptr, buf, sizeof buf));
  EXPECT_EQ(-1, kiv_get_db_file_name(2, 815, "p", nullptr, 8));
}

TEST_F(DbFileTest, CreateWritesLocksAndKeepsDescriptor) {
  keep_descriptors_matching(kDb0);
  const std::string path = std::string(kDb0) + "prog.815";
  ASSERT_EQ(0, kiv_db_create(0, 815, 2, "/usr/sbin/prog -x a"));
  struct stat st;
  ASSERT_EQ(0, stat(path.c_str(), &st));
  EXPECT_EQ(0755u, st.st_mode & 07777);  // 0777 before the umask 022
  EXPECT_EQ(getpid(), lock_holder(path));
  EXPECT_EQ("815\n2\n/usr/sbin/prog -x a", content_via_child(path));
  auto kept = fds_on(path);
  ASSERT_EQ(1u, kept.size());
  EXPECT_EQ(FD_CLOEXEC, fcntl(kept[0], F_GETFD) & FD_CLOEXEC);

  // Registering again rewrites the file through the descriptor already
  // held, under the same lock: descriptors stay constant however often.
  for (int i = 0; i < 10000; ++i) ASSERT_EQ(0, kiv_db_create(0, 815, 3, "/usr/sbin/prog"));
  EXPECT_EQ("815\n3\n/usr/sbin/prog", content_via_child(path));
  EXPECT_EQ(kept, fds_on(path));
  EXPECT_EQ(getpid(), lock_holder(path));

  // A file removed (a cancellation) or replaced is written anew, and the
  // descriptor of the old one is let go.
  ASSERT_EQ(0, unlink(path.c_str()));
  ASSERT_EQ(0, kiv_db_create(0, 815, 2, "/usr/sbin/prog -y"));
  EXPECT_EQ("815\n2\n/usr/sbin/prog -y", content_via_child(path));
  EXPECT_EQ(1u, fds_on(path).size());
  EXPECT_TRUE(fds_on(path + " (deleted)").empty());
  EXPECT_EQ(getpid(), lock_holder(path));

  // The program closed the held descriptor and its number went to another
  // file: that file is left alone.
  kept = fds_on(path);
  ASSERT_EQ(1u, kept.size());
  const int other = open("/tmp/vsd/0/other", O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_EQ(kept[0], dup3(other, kept[0], O_CLOEXEC));
  close(other);
  ASSERT_EQ(0, kiv_db_create(0, 815, 3, "/usr/sbin/prog"));
  EXPECT_EQ("", read_file("/tmp/vsd/0/other"));
  EXPECT_EQ("815\n3\n/usr/sbin/prog", content_via_child(path));
  EXPECT_EQ(getpid(), lock_holder(path));
  close(kept[0]);
  close_all_on(path);
  EXPECT_EQ(0, lock_holder(path));

  // In a VSD's own tree.
  ASSERT_EQ(0, mkdir("/tmp/vsd/2", 0755));
  ASSERT_EQ(0, mkdir("/tmp/vsd/2/kiv", 0755));
  ASSERT_EQ(0, mkdir("/tmp/vsd/2/kiv/db", 0755));
  ASSERT_EQ(0, kiv_db_create(2, 815, 2, "/usr/sbin/prog"));
  EXPECT_EQ(0, access("/tmp/vsd/2/kiv/db/prog.815", F_OK));
  close_all_on("/tmp/vsd/2/kiv/db/prog.815");
}

TEST_F(DbFileTest, LockHeldByAnotherProcess) {
  const std::string path = std::string(kDb0) + "prog.900";
  Child holder([&] {
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    struct flock fl = {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    if (fd < 0 || fcntl(fd, F_SETLK, &fl) != 0) return 1;
    pause();
    return 0;
  });
  for (int i = 0; i < 500 && lock_holder(path) != holder.pid(); ++i) usleep(2000);
  ASSERT_EQ(holder.pid(), lock_holder(path));

  g_kiv_dbg_level[KIV_DBG_LIB] = 0;
  std::string out = capture_stdout([&] { EXPECT_EQ(0, kiv_db_create(0, 900, 2, "/bin/prog")); });
  g_kiv_dbg_level[KIV_DBG_LIB] = KIV_DBG_OFF;
  // The file is written anyway, our descriptor is closed (the fixture
  // checks that nothing is left open), and the refusal is logged.
  EXPECT_EQ("900\n2\n/bin/prog", content_via_child(path));
  EXPECT_TRUE(fds_on(path).empty());
  EXPECT_EQ(holder.pid(), lock_holder(path));
  const std::string head = "[KIV:kiv_pidfile:N]kiv_db_create vsd:0 path:/bin/prog file:" + path +
                           "\n[KIV:kiv_pidfile:N]kiv_db_create: file " + path + " fd < 0: ";
  out = without_line_numbers(out);
  EXPECT_TRUE(out == head + "Resource temporarily unavailable\n" || out == head + "Permission denied\n")
      << out;
}

TEST_F(DbFileTest, CreateFailures) {
  g_kiv_dbg_level[KIV_DBG_LIB] = 0;
  std::string out = capture_stdout([&] { EXPECT_EQ(-1, kiv_db_create(3, 1, 2, "/x/p")); });
  EXPECT_EQ(
      "[KIV:kiv_pidfile:N]kiv_db_create vsd:3 path:/x/p file:/tmp/vsd/3/kiv/db/p.1\n"
      "[KIV:kiv_pidfile:N]kiv_db_create: fd < 0: No such file or directory\n",
      without_line_numbers(out));
  g_kiv_dbg_level[KIV_DBG_LIB] = KIV_DBG_OFF;
  EXPECT_NE(0, access("/tmp/vsd/3", F_OK));  // no directory is made
  // A path that doesn't fit is refused rather than cut to another name.
  const std::string longname = "/" + std::string(250, 'n');
  EXPECT_EQ(-1, kiv_db_create(0, 1, 2, longname.c_str()));
  EXPECT_EQ(-1, kiv_db_destroy(0, 1, longname.c_str()));
  EXPECT_EQ(-1, kiv_db_create(0, 1, 2, nullptr));
  EXPECT_TRUE(list_dir("/tmp/vsd/0/kiv/db").empty());
}

TEST_F(DbFileTest, DestroyRemovesTheFile) {
  const std::string path = std::string(kDb0) + "prog.815";
  ASSERT_EQ(0, kiv_db_create(0, 815, 2, "/usr/sbin/prog -x"));
  close_all_on(path);
  EXPECT_EQ(0, kiv_db_destroy(0, 815, "/usr/sbin/prog other args"));
  EXPECT_NE(0, access(path.c_str(), F_OK));
  EXPECT_EQ(-1, kiv_db_destroy(0, 815, "/usr/sbin/prog"));
  EXPECT_EQ(-1, kiv_db_destroy(0, 815, nullptr));
}

TEST_F(DbFileTest, ReadBack) {
  const std::string path = std::string(kDb0) + "prog.815";
  ASSERT_EQ(0, kiv_db_create(0, 815, 3, "/usr/sbin/prog -x"));
  close_all_on(path);
  int pid = 0, kind = 0;
  char dst[64] = {};
  ASSERT_EQ(0, kiv_db_read(path.c_str(), &pid, &kind, dst, sizeof dst));
  EXPECT_EQ(815, pid);
  EXPECT_EQ(3, kind);
  EXPECT_STREQ("/usr/sbin/prog -x", dst);
  ASSERT_EQ(0, kiv_db_read(path.c_str(), &pid, &kind, dst, 5));
  EXPECT_STREQ("/usr", dst);

  const std::string other = "/tmp/vsd/0/db_other";
  // A command line is returned from its first '/' only.
  write_file(other, "12\n2\nprog -c /etc/conf");
  ASSERT_EQ(0, kiv_db_read(other.c_str(), &pid, &kind, dst, sizeof dst));
  EXPECT_STREQ("/etc/conf", dst);
  // Only the first 255 bytes of a file count.
  write_file(other, "12\n2\n/" + std::string(400, 'z'));
  char wide[512] = {};
  ASSERT_EQ(0, kiv_db_read(other.c_str(), &pid, &kind, wide, sizeof wide));
  EXPECT_EQ("/" + std::string(255 - 6, 'z'), std::string(wide));

  g_kiv_dbg_level[KIV_DBG_LIB] = 0;
  write_file(other, "12\n2\nprog");
  std::string out = capture_stdout([&] {
    EXPECT_EQ(-1, kiv_db_read(other.c_str(), &pid, &kind, dst, sizeof dst));
  });
  EXPECT_EQ("", out);  // no '/': silent failure
  write_file(other, "twelve\n2\n/p");
  out = capture_stdout([&] { EXPECT_EQ(-1, kiv_db_read(other.c_str(), &pid, &kind, dst, sizeof dst)); });
  out = without_line_numbers(out);
  EXPECT_EQ(0u, out.rfind("[KIV:kiv_pidfile:N]kiv_db_read: read pid fail: ", 0)) << out;
  EXPECT_EQ(out.size() - 1, out.find('\n')) << out;
  out = capture_stdout([&] { EXPECT_EQ(-1, kiv_db_read("/tmp/vsd/0/none", &pid, &kind, dst, sizeof dst)); });
  EXPECT_EQ("[KIV:kiv_pidfile:N]kiv_db_read: open pid file fail: No such file or directory\n",
            without_line_numbers(out));
  out = capture_stdout([&] { EXPECT_EQ(-1, kiv_db_read("/tmp/vsd/0", &pid, &kind, dst, sizeof dst)); });
  EXPECT_EQ("[KIV:kiv_pidfile:N]kiv_db_read: read pid file fail: Is a directory\n",
            without_line_numbers(out));
  g_kiv_dbg_level[KIV_DBG_LIB] = KIV_DBG_OFF;
  EXPECT_EQ(-1, kiv_db_read(nullptr, &pid, &kind, dst, sizeof dst));
  EXPECT_EQ(-1, kiv_db_read(path.c_str(), nullptr, &kind, dst, sizeof dst));
  EXPECT_EQ(-1, kiv_db_read(path.c_str(), &pid, nullptr, dst, sizeof dst));
  EXPECT_EQ(-1, kiv_db_read(path.c_str(), &pid, &kind, nullptr, sizeof dst));
  EXPECT_EQ(-1, kiv_db_read(path.c_str(), &pid, &kind, dst, 0));
}

}  // namespace
}  // namespace kiv::test
