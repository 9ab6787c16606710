// kiv_get_cmdline against real processes started with chosen arguments.
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "kiv_utils.h"
#include "support/child.h"
#include "support/fixture.h"
#include "support/program.h"

namespace kiv::test {
namespace {

using CmdlineTest = SandboxTest;

// utils_sleeper started with exactly argv, alive past exec.
struct Sleeper : TestProgram {
  explicit Sleeper(const std::vector<std::string>& argv)
      : TestProgram("utils_sleeper", {argv.begin() + 1, argv.end()}, options(argv[0])) {}
  static ProgramOptions options(const std::string& argv0) {
    ProgramOptions opt;
    opt.argv0 = argv0;
    opt.wait_ready = true;
    return opt;
  }
};

// The executable link of the process shows the resolved path.
std::string exe() {
  char real[PATH_MAX];
  return realpath(KIV_TEST_BIN_DIR "/utils_sleeper", real) != nullptr ? real : "";
}

struct Got {
  int ret;
  std::string text;
};

Got get(pid_t pid, size_t size) {
  std::string buf(size + 8, '#');
  int r = kiv_get_cmdline(pid, buf.data(), size);
  EXPECT_EQ('#', buf[size]) << "wrote past the buffer";
  return {r, std::string(buf.c_str())};
}

TEST_F(CmdlineTest, ExecutablePathReplacesFirstArgument) {
  const std::string e = exe();
  ASSERT_FALSE(e.empty());
  const struct {
    std::vector<std::string> argv;
    std::string text;
  } cases[] = {
      {{"just-a-name"}, e},  // the separator is not left behind
      {{"x", "a", "", "b"}, e + " a  b"},
      {{"x", "a", "", ""}, e + " a"},
      {{"x", "a", "one\ntwo", "b"}, e + " a one"},
  };
  for (const auto& c : cases) {
    Sleeper p(c.argv);
    Got g = get(p.pid(), 512);
    EXPECT_EQ(0, g.ret) << c.text;
    EXPECT_EQ(c.text, g.text);
  }
}

TEST_F(CmdlineTest, SmallBuffers) {
  const std::string e = exe();
  const size_t len = e.size();
  Sleeper p({"x", "ab"});
  const struct {
    size_t size;
    int ret;
    std::string text;
  } cases[] = {
      {len + 2, 0, e},  // too small for a separator and one character: the path alone
      {len, 0, e.substr(0, len - 1)},
      {len + 4, -2, e + " ab"},  // filling the buffer is -2, also when the last argument fits exactly
      {len + 3, -2, e + " a"},
      // The NUL after the last argument takes a place too, as a space that
      // the end of the text drops again.
      {len + 5, -2, e + " ab"},
      {len + 6, 0, e + " ab"},
      {1, -1, ""},  // no room even for the path
  };
  for (const auto& c : cases) {
    Got g = get(p.pid(), c.size);
    EXPECT_EQ(c.ret, g.ret) << "size " << c.size;
    EXPECT_EQ(c.text, g.text) << "size " << c.size;
  }
  EXPECT_EQ(-1, kiv_get_cmdline(p.pid(), nullptr, 64));
  // A process that is gone gives empty text.
  Got g = get(ended_pid(), 64);
  EXPECT_EQ(-1, g.ret);
  EXPECT_EQ("", g.text);
}

}  // namespace
}  // namespace kiv::test
