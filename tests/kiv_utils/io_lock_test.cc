// Whole transfers, the single-instance lock file and the oom adjustment.
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "kiv_dbg.h"
#include "kiv_utils.h"
#include "support/capture.h"
#include "support/fixture.h"
#include "support/child.h"
#include "support/files.h"
#include "support/log_text.h"

namespace kiv::test {
namespace {

using IoLockTest = SandboxTest;

TEST_F(IoLockTest, WholeTransfers) {
  int p[2];
  ASSERT_EQ(0, pipe2(p, O_CLOEXEC));
  char buf[16] = {};
  // n = 0 makes no system call: a closed descriptor is not noticed.
  EXPECT_EQ(0, safe_read(-1, buf, 0));
  EXPECT_EQ(0, safe_write(-1, buf, 0));
  EXPECT_EQ(5, safe_write(p[1], "hello", 5));
  close(p[1]);
  EXPECT_EQ(5, safe_read(p[0], buf, sizeof buf));  // short count at end of file
  EXPECT_STREQ("hello", buf);
  EXPECT_EQ(0, safe_read(p[0], buf, sizeof buf));
  close(p[0]);
  EXPECT_EQ(-1, safe_read(p[0], buf, 1));

  const char* path = "/tmp/kiv/io_file";
  // safe_write_path never creates.
  EXPECT_EQ(-1, safe_write_path(path, "x", 1));
  EXPECT_NE(0, access(path, F_OK));
  int fd = open(path, O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(6, write(fd, "abcdef", 6));
  close(fd);
  // It writes at offset 0 without truncating.
  EXPECT_EQ(2, safe_write_path(path, "XY", 2));
  EXPECT_EQ("XYcdef", read_file(path));

  char small[4] = "zzz";
  EXPECT_EQ(3, kiv_read_to_buf(path, small, sizeof small));
  EXPECT_STREQ("XYc", small);
  EXPECT_EQ(-1, kiv_read_to_buf("/tmp/kiv/missing", small, sizeof small));
  EXPECT_STREQ("XYc", small);  // untouched
  EXPECT_EQ(0, kiv_read_to_buf(path, small, 1));
  EXPECT_STREQ("", small);
}

TEST_F(IoLockTest, SecondInstanceIsRefused) {
  const char* path = "/tmp/kiv/instance.lock";
  int fd = already_running(path);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(FD_CLOEXEC, fcntl(fd, F_GETFD) & FD_CLOEXEC);
  struct stat st;
  ASSERT_EQ(0, stat(path, &st));
  EXPECT_EQ(0700u, st.st_mode & 0777 & ~0077u);  // 0700 before the umask
  const std::string mine = std::to_string(getpid()) + std::string(1, '\0');

  // Another process may not take it, and leaves the text alone.
  EXPECT_EQ(0, exit_code(run_in_child([&] { return already_running(path) == -1 ? 0 : 1; })));
  // The child's read-only look at the file would drop our lock if it were
  // ours; the text is read by a child for the same reason.
  auto content_seen_by_child = [&] {
    return exit_code(run_in_child([&] { return read_file(path) == mine ? 0 : 1; }));
  };
  EXPECT_EQ(0, content_seen_by_child());

  // Once the holder lets go, the next process takes it and writes its pid,
  // with nothing left over from a longer text before.
  ASSERT_EQ(0, close(fd));
  int fd2 = open(path, O_WRONLY | O_CLOEXEC);
  ASSERT_GE(fd2, 0);
  ASSERT_EQ(20, pwrite(fd2, "99999999999999999999", 20, 0));
  close(fd2);
  EXPECT_EQ(0, exit_code(run_in_child([&] {
              if (already_running(path) < 0) return 1;
              return read_file(path) == std::to_string(getpid()) + std::string(1, '\0') ? 0 : 2;
            })));
  EXPECT_EQ(-1, already_running("/tmp/kiv/no/such/dir/lock"));
  EXPECT_EQ(-1, already_running(nullptr));
}

TEST_F(IoLockTest, OomAdjustment) {
  // Gone process: -1, and the failed open is logged with its reason.
  const pid_t gone = ended_pid();
  g_kiv_dbg_level[KIV_DBG_LIB] = 0;
  std::string out = capture_stdout([&] { EXPECT_EQ(-1, kiv_ignore_lmk(gone)); });
  EXPECT_EQ("[KIV:kiv_utils:N]safe_write_path: fd < 0: No such file or directory\n",
            without_line_numbers(out));
  g_kiv_dbg_level[KIV_DBG_LIB] = KIV_DBG_OFF;

  // Lowering oom_adj needs CAP_SYS_RESOURCE, which root lacks on some hosts:
  // find out what this one allows, with plain writes in a child, before
  // judging the library in another child that starts from the same value.
  for (const char* from : {"", "5\n"}) {
    auto start_from = [from] {
      int fd = open("/proc/self/oom_adj", O_WRONLY | O_CLOEXEC);
      const bool ok = fd >= 0 && (*from == '\0' || write(fd, from, strlen(from)) > 0);
      close(fd);
      return ok;
    };
    auto host_allows = [&](const char* text) {
      return exit_code(run_in_child([&] {
               if (!start_from()) return 2;
               int fd = open("/proc/self/oom_adj", O_WRONLY | O_CLOEXEC);
               return write(fd, text, strlen(text)) > 0 ? 0 : 1;
             })) == 0;
    };
    const bool may_lower = host_allows("-17\n");
    const bool may_reset = host_allows("0\n");
    EXPECT_EQ(0, exit_code(run_in_child([&] {
                if (!start_from()) return 3;
                const std::string before = read_file("/proc/self/oom_adj");
                const int r = kiv_ignore_lmk(getpid());
                const std::string now = read_file("/proc/self/oom_adj");
                if (may_lower) return r == 5 && now == "-17\n" ? 0 : 1;
                return r == -1 && now == before ? 0 : 2;
              })))
        << "from '" << from << "', host allows -17: " << may_lower;
    EXPECT_EQ(0, exit_code(run_in_child([&] {
                if (!start_from()) return 3;
                const std::string before = read_file("/proc/self/oom_adj");
                const int r = kiv_reset_lmk(getpid());
                const std::string now = read_file("/proc/self/oom_adj");
                if (may_reset) return r == 3 && now == "0\n" ? 0 : 1;
                return r == -1 && now == before ? 0 : 2;
              })))
        << "from '" << from << "', host allows 0: " << may_reset;
  }
}

}  // namespace
}  // namespace kiv::test
