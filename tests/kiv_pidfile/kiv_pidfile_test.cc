// Pid database files and member files in the sandbox's VSD tree; locks seen from other processes.
#include "kiv_pidfile.h"

#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>

#include "kiv_xtach.h"
#include "support/fixture.h"

namespace kiv::test {
namespace {

constexpr char kPath[] = "/tmp/vsd/0/kiv/db/prog.815";

class PidfileTest : public SandboxTest {
 protected:
  void SetUpSandboxed() override {
    for (const char* d : {"/tmp/vsd/2", "/tmp/vsd/2/kiv", "/tmp/vsd/2/kiv/db"}) mkdir(d, 0755);
    keep_descriptors_matching("/tmp/vsd/");
  }
  // This process's descriptors open on path.
  static std::vector<int> fds_on(const std::string& path) {
    std::vector<int> fds;
    for (const auto& [fd, target] : open_descriptors())
      if (target == path) fds.push_back(fd);
    return fds;
  }
  // path's text as another process reads it: a read of ours would drop our lock on close.
  static std::string seen(const std::string& path) {
    return run_in_child([&] { return printf("%s", read_file(path).c_str()) < 0; }).output;
  }
};

TEST_F(PidfileTest, NameIsTheBaseOfTheFirstWord) {
  const struct { int vsd; std::string cmdline; int size, ret; std::string path; } rows[] = {
      {2, "/usr/sbin/prog -x /a/b", 256, 26, "/tmp/vsd/2/kiv/db/prog.815"},
      {0, "prog", 256, 26, "/tmp/vsd/0/kiv/db/prog.815"},
      {0, "dir/sub/prog arg/x", 256, 26, "/tmp/vsd/0/kiv/db/prog.815"},
      {0, "/" + std::string(200, 'a') + "/" + std::string(100, 'b'), 512, 75,
       "/tmp/vsd/0/kiv/db/" + std::string(255 - 202, 'b') + ".815"},  // the word is cut to 255 first
      {2, "/usr/sbin/prog", 10, 26, "/tmp/vsd/"},
  };
  for (const auto& r : rows) {
    char buf[512];
    EXPECT_EQ(r.ret, kiv_get_db_file_name(r.vsd, 815, r.cmdline.c_str(), buf, r.size));
    EXPECT_EQ(r.path, buf);
  }
}

TEST_F(PidfileTest, CreateWritesAnewAndKeepsOneLockedDescriptor) {
  write_file(kPath, "stale text longer than the new one, from an earlier life");
  ASSERT_EQ(0, kiv_db_create(0, 815, 2, "/usr/sbin/prog -x a"));
  EXPECT_EQ("815\n2\n/usr/sbin/prog -x a", seen(kPath));
  EXPECT_EQ(getpid(), lock_holder(kPath));
  const mode_t umask_before = umask(022);
  (void)unlink(kPath);
  for (int i = 0; i < 100; ++i) ASSERT_EQ(0, kiv_db_create(0, 815, 3, "/usr/sbin/prog"));
  umask(umask_before);
  EXPECT_EQ("815\n3\n/usr/sbin/prog", seen(kPath));
  EXPECT_EQ(getpid(), lock_holder(kPath));
  EXPECT_EQ(0755, mode_of(kPath));  // 0777 before the umask
  const auto kept = fds_on(kPath);
  ASSERT_EQ(1u, kept.size()) << "one descriptor however often the file is written";
  EXPECT_TRUE(fds_on(std::string(kPath) + " (deleted)").empty()) << "nor one on the removed file";
  EXPECT_EQ(FD_CLOEXEC, fcntl(kept[0], F_GETFD) & FD_CLOEXEC);
  // The program closed it and its number went to another file: that file is left alone.
  const int other = open("/tmp/vsd/0/other", O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_EQ(kept[0], dup3(other, kept[0], O_CLOEXEC));
  close(other);
  ASSERT_EQ(0, kiv_db_create(0, 815, 2, "/usr/sbin/prog"));
  EXPECT_EQ("", read_file("/tmp/vsd/0/other"));
  EXPECT_EQ(getpid(), lock_holder(kPath));
  for (int fd : fds_on(kPath)) close(fd);
  close(kept[0]);
  EXPECT_EQ(0, lock_holder(kPath));
}

TEST_F(PidfileTest, LockHeldElsewhereStillWritesTheFileAndLetsOurDescriptorGo) {
  Child holder([] {
    const int fd = open(kPath, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    struct flock fl = {};
    fl.l_type = F_WRLCK;
    if (fd < 0 || fcntl(fd, F_SETLK, &fl) != 0) return 1;
    return pause();
  });
  for (int i = 0; i < 500 && lock_holder(kPath) != holder.pid(); ++i) usleep(2000);
  EXPECT_EQ(0, kiv_db_create(0, 815, 2, "/bin/prog"));
  EXPECT_EQ("815\n2\n/bin/prog", seen(kPath));
  EXPECT_TRUE(fds_on(kPath).empty());
  EXPECT_EQ(holder.pid(), lock_holder(kPath));
}

TEST_F(PidfileTest, CreateFailsWithoutItsDirectoryOrWithAPathTooLong) {
  EXPECT_EQ(-1, kiv_db_create(3, 1, 2, "/x/p"));
  EXPECT_FALSE(exists("/tmp/vsd/3"));
  const std::string longname = "/" + std::string(250, 'n');
  EXPECT_EQ(-1, kiv_db_create(0, 1, 2, longname.c_str()));
  EXPECT_EQ(-1, kiv_db_destroy(0, 1, longname.c_str()));
  EXPECT_TRUE(list_dir("/tmp/vsd/0/kiv/db").empty());
}

TEST_F(PidfileTest, ReadGivesPidKindAndTheTextFromItsFirstSlash) {
  const struct { const char* path; std::string text; int size, ret, pid, kind; std::string cmd; } rows[] = {
      {kPath, "815\n3\n/usr/sbin/prog -x", 64, 0, 815, 3, "/usr/sbin/prog -x"},
      {kPath, "815\n3\n/usr/sbin/prog -x", 5, 0, 815, 3, "/usr"},
      {kPath, "12\n2\nprog -c /etc/conf", 64, 0, 12, 2, "/etc/conf"},
      {kPath, "12\n2\n/" + std::string(400, 'z'), 512, 0, 12, 2, "/" + std::string(255 - 6, 'z')},
      {kPath, "12\n2\nprog", 64, -1, 0, 0, ""},
      {kPath, "twelve\n2\n/p", 64, -1, 0, 0, ""},
      {"/tmp/vsd/0/none", "", 64, -1, 0, 0, ""},
      {"/tmp/vsd/0", "", 64, -1, 0, 0, ""},
  };
  for (const auto& r : rows) {
    write_file(kPath, r.text);
    int pid = 0, kind = 0;
    char cmd[512] = {};
    EXPECT_EQ(r.ret, kiv_db_read(r.path, &pid, &kind, cmd, r.size)) << r.path << " " << r.text;
    EXPECT_EQ(r.ret == 0 ? r.pid : pid, pid);
    EXPECT_EQ(r.ret == 0 ? r.kind : kind, kind);
    EXPECT_EQ(r.cmd, cmd);
  }
}

TEST_F(PidfileTest, RecordGivesDatabaseFileAndInAVsdAMemberFile) {
  save_vsd_flag(0, 815);
  save_vsd_flag(9, 815);  // no such VSD tree: silently nothing
  EXPECT_EQ(std::vector<std::string>{"db"}, list_dir("/tmp/vsd/0/kiv"));
  EXPECT_FALSE(exists("/tmp/vsd/9"));
  kiv_exit_action_rec rec = {};
  rec.pid = 4242;
  rec.vsd_id = 2;
  strcpy(rec.cmdline, "/bin/prog arg");
  int pid = 0, kind = 0;
  char cmd[300];
  for (const auto& [type, want] : {std::pair{1, KIV_DB_KIND_RESTART}, std::pair{2, KIV_DB_KIND_OTHER}}) {
    ASSERT_EQ(0, kiv_mk_pidfile(&rec, type));
    ASSERT_EQ(0, kiv_db_read("/tmp/vsd/2/kiv/db/prog.4242", &pid, &kind, cmd, sizeof cmd));
    EXPECT_EQ(want, kind);
  }
  EXPECT_EQ("", read_file("/tmp/vsd/2/kiv/4242"));
  EXPECT_TRUE(exists("/tmp/vsd/2/kiv/4242"));
  // A command line without its NUL is read no further than its 256 bytes.
  memset(rec.cmdline, 'c', sizeof rec.cmdline);
  memcpy(rec.cmdline, "/x ", 3);
  memset(rec.name, 'n', sizeof rec.name);
  ASSERT_EQ(0, kiv_mk_pidfile(&rec, 1));
  ASSERT_EQ(0, kiv_db_read("/tmp/vsd/2/kiv/db/x.4242", &pid, &kind, cmd, sizeof cmd));
  EXPECT_EQ("/x " + std::string(255 - 7 - 3, 'c'), cmd);
  EXPECT_EQ(-1, kiv_mk_pidfile(nullptr, 1));
  // Without its database file no member file is made.
  rec.vsd_id = 4;
  ASSERT_EQ(0, mkdir("/tmp/vsd/4", 0755));
  ASSERT_EQ(0, mkdir("/tmp/vsd/4/kiv", 0755));
  EXPECT_EQ(-1, kiv_mk_pidfile(&rec, 1));
  EXPECT_TRUE(list_dir("/tmp/vsd/4/kiv").empty());
}

}  // namespace
}  // namespace kiv::test
