// kiv_get_cmdline against real processes started with chosen arguments.
#include <limits.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "kiv_utils.h"
#include "support/fixture.h"
#include "support/utils_child.h"

namespace kiv::test {
namespace {

const std::string kSleeper = std::string(KIV_TEST_BIN_DIR) + "/utils_sleeper";

class CmdlineTest : public SandboxTest {
 protected:
  // The executable link of the process shows the resolved path.
  static std::string exe() {
    char real[PATH_MAX];
    return realpath(kSleeper.c_str(), real) != nullptr ? real : "";
  }
  struct Got {
    int ret;
    std::string text;
  };
  static Got get(pid_t pid, size_t size) {
    std::string buf(size + 8, '#');
    int r = kiv_get_cmdline(pid, buf.data(), size);
    EXPECT_EQ('#', buf[size]) << "wrote past the buffer";
    return {r, std::string(buf.c_str())};
  }
};

TEST_F(CmdlineTest, ExecutablePathReplacesFirstArgument) {
  const std::string e = exe();
  ASSERT_FALSE(e.empty());
  {
    LiveProcess p(kSleeper, {"just-a-name"});
    Got g = get(p.pid(), 512);
    EXPECT_EQ(0, g.ret);
    EXPECT_EQ(e, g.text);  // the separator is not left behind
  }
  {
    LiveProcess p(kSleeper, {"x", "a", "", "b"});
    Got g = get(p.pid(), 512);
    EXPECT_EQ(0, g.ret);
    EXPECT_EQ(e + " a  b", g.text);
  }
  {
    LiveProcess p(kSleeper, {"x", "a", "", ""});
    Got g = get(p.pid(), 512);
    EXPECT_EQ(0, g.ret);
    EXPECT_EQ(e + " a", g.text);
  }
  {
    LiveProcess p(kSleeper, {"x", "a", "one\ntwo", "b"});
    Got g = get(p.pid(), 512);
    EXPECT_EQ(0, g.ret);
    EXPECT_EQ(e + " a one", g.text);
  }
}

TEST_F(CmdlineTest, SmallBuffers) {
  const std::string e = exe();
  const size_t len = e.size();
  LiveProcess p(kSleeper, {"x", "ab"});
  // Too small for a separator and one character: the path alone.
  Got g = get(p.pid(), len + 2);
  EXPECT_EQ(0, g.ret);
  EXPECT_EQ(e, g.text);
  g = get(p.pid(), len);
  EXPECT_EQ(0, g.ret);
  EXPECT_EQ(e.substr(0, len - 1), g.text);
  // Filling the buffer is -2, also when the last argument fits exactly.
  g = get(p.pid(), len + 4);
  EXPECT_EQ(-2, g.ret);
  EXPECT_EQ(e + " ab", g.text);
  g = get(p.pid(), len + 3);
  EXPECT_EQ(-2, g.ret);
  EXPECT_EQ(e + " a", g.text);
  // The NUL after the last argument takes a place too, as a space that
  // the end of the text drops again.
  g = get(p.pid(), len + 5);
  EXPECT_EQ(-2, g.ret);
  EXPECT_EQ(e + " ab", g.text);
  g = get(p.pid(), len + 6);
  EXPECT_EQ(0, g.ret);
  EXPECT_EQ(e + " ab", g.text);
  // Size 1 leaves no room even for the path.
  g = get(p.pid(), 1);
  EXPECT_EQ(-1, g.ret);
  EXPECT_EQ("", g.text);
  EXPECT_EQ(-1, kiv_get_cmdline(p.pid(), nullptr, 64));
}

TEST_F(CmdlineTest, GoneProcessGivesEmptyText) {
  pid_t pid = fork();
  if (pid == 0) _exit(0);
  ASSERT_GT(pid, 0);
  ASSERT_EQ(pid, waitpid(pid, nullptr, 0));
  Got g = get(pid, 64);
  EXPECT_EQ(-1, g.ret);
  EXPECT_EQ("", g.text);
}

}  // namespace
}  // namespace kiv::test
