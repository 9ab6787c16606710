// vsdctl against VSDs in each state: what it lists and reports, and the
// one command that acts on what it reports.
#include <fcntl.h>

#include "support/vsd_world.h"

namespace kiv::test {
namespace {

ChildResult vsdctl(std::vector<std::string> args) {
  const auto run = [&] {
    args.insert(args.begin(), "vsdctl");
    ProgramCommand command(KIV_BUILD_DIR "/tools/vsdctl/vsdctl", args);
    (void)dup2(open("/dev/null", O_RDONLY | O_CLOEXEC), 0);
    command.exec();
    return 99;
  };
  return Child(run, true).wait(30);
}

using VsdctlTest = VsdTest;

// VSD 5 over its memory limit (charged outside the cgroup, so that the
// kernel's limit stays out of the way), 6 being torn down; one run of the
// tool per row, in turn.
TEST_F(VsdctlTest, CommandsAgainstVsdsInEachState) {
  require_cgroups();
  if (IsSkipped()) return;
  Hog big(8192, {3500}), small(1024, {3500});
  make_member_dir(5, {big.pid(), small.pid()});
  make_dirs({"/memory/vsd_5"});
  ASSERT_EQ(0, set_mem_group(5, 4096));
  make_member_dir(6);
  write_file("/tmp/vsd/6/delete_vsd");
  const std::string any = "(.|\n)*";
  const struct {
    std::vector<std::string> args;
    std::string out;  // a regular expression
  } rows[] = {
      {{"list"},
       "VSD +STATE +NETNS +MEMORY +CPU_SHARES +MEMBERS\n5 +running +- +4096K " + any + "\n6 +stopping +- " + any},
      {{"mem"}, "VSD +USED_KIB +LIMIT_KIB\nhost +[0-9]+ +-\n5 +[0-9]+ +4096  over\n" + any},  // reported, no one killed
      {{"mem", "--enforce", "--json"},
       any + "\\{\"vsd\":5,\"used_kib\":4096,\"limit_kib\":4096,\"over_limit\":false\\}" + any},
  };
  for (const auto& row : rows) {
    const ChildResult r = vsdctl(row.args);
    EXPECT_EQ(0, exit_code(r)) << row.args[0] << ": " << r.errors;
    EXPECT_THAT(r.output, MatchesRegex(row.out)) << row.args[0];
  }
  EXPECT_TRUE(big.killed_by(SIGKILL));  // by --enforce alone, the largest member
  EXPECT_TRUE(small.running());
}

}  // namespace
}  // namespace kiv::test
