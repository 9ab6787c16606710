// vsdctl against VSDs in each state: exit statuses, what goes to which
// stream, and what the commands leave in the kernel's files.
#include <fcntl.h>
#include <stdlib.h>

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

// VSD 3 made by the tool, 4 stopped, 5 over its memory limit (charged
// outside the cgroup, so that the kernel's limit stays out of the way), 6
// being torn down; one run of the tool per row, in turn.
TEST_F(VsdctlTest, CommandsAgainstVsdsInEachState) {
  require_cgroups();
  if (IsSkipped()) return;
  install_start_script();
  install_probe("vsd_probe_daemon");
  capture_stdout([] { EXPECT_EQ(0, create_vsd(4) + stop_vsd(4)); });
  Hog big(8192, {3500}), small(1024, {3500});
  make_member_dir(5, {big.pid(), small.pid()});
  make_dirs({"/memory/vsd_5"});
  ASSERT_EQ(0, set_mem_group(5, 4096));
  make_member_dir(6);
  write_file("/tmp/vsd/6/delete_vsd");
  ChildResult r = vsdctl({"create", "3"});
  ASSERT_EQ(0, exit_code(r)) << r.errors;
  EXPECT_EQ("", r.output);  // what the start scripts print goes to stderr
  const std::string ns3 = std::to_string(inode_of("/tmp/vsd/3/netns/default")), any = "(.|\n)*";

  const struct {
    std::vector<std::string> args;
    int status;
    std::string out, err;  // regular expressions
  } rows[] = {
      {{"create", "3"}, 1, "", "vsdctl: create: vsd 3 already exists\n"},
      {{"delete", "9"}, 1, "", "vsdctl: delete: vsd 9 does not exist\n"},  // no teardown, no wait
      {{"launch", "4", "vsd_probe_daemon"}, 1, "", "vsdctl: launch: cannot start 'vsd_probe_daemon' in vsd 4: " + any},
      {{"set", "3", "--memory", "64M", "--cpu", "5"}, 0, "", ""},
      {{"list", "--all"}, 0,
       "VSD +STATE +NETNS +MEMORY +CPU_SHARES +MEMBERS\n1 +absent +- +- +- +0\n2 +absent" + any +
           "\n3 +running +pinned +65536K +512 " + any + "\n +[0-9]+ +running +vsd_probe_stay" + any +
           "\n4 +stopped +pinned +- " + any + "\n5 +running +- +4096K " + any + "\n6 +stopping +- " + any,
       ""},
      {{"list", "--json"}, 0,
       "\\{\"vsds\":\\[\\{\"vsd\":3,\"state\":\"running\",\"netns\":true,\"memory_limit_kib\":65536,\"cpu_shares\":512,"
       "\"members\":\\[" + any + "\\{\"pid\":[0-9]+,\"state\":\"running\",\"name\":\"vsd_probe_stay\"\\}" + any +
           "\\{\"vsd\":4,\"state\":\"stopped\",\"netns\":true,\"memory_limit_kib\":null," + any,
       ""},
      {{"mem"}, 0,
       "VSD +USED_KIB +LIMIT_KIB\nhost +[0-9]+ +-\n3 +[1-9][0-9]* +65536\n" + any + "\n5 +[0-9]+ +4096  over\n" + any,
       ""},
      {{"mem", "--enforce", "--json"}, 0,
       any + "\\{\"vsd\":5,\"used_kib\":4096,\"limit_kib\":4096,\"over_limit\":false\\}" + any, ""},
      {{"exec", "3", "readlink", "/proc/self/ns/net"}, 0, "net:\\[" + ns3 + "\\]\n", ""},
      {{"exec", "3", "/nowhere/cmd"}, 127, "", "vsdctl: exec: cannot run '/nowhere/cmd': No such file or directory\n"},
  };
  for (const auto& row : rows) {
    r = vsdctl(row.args);
    EXPECT_EQ(row.status, exit_code(r)) << row.args[0] << " " << row.args[1] << ": " << r.errors;
    EXPECT_THAT(r.output, MatchesRegex(row.out)) << row.args[0] << " " << row.args[1];
    EXPECT_THAT(r.errors, MatchesRegex(row.err)) << row.args[0] << " " << row.args[1];
    if (r.output.rfind("{", 0) != 0 || !exists("/usr/bin/python3")) continue;
    EXPECT_EQ(0, exit_code(run_in_child([&] {  // --json: JSON indeed
      ProgramCommand("/usr/bin/python3", {"python3", "-c", "import json,sys; json.loads(sys.argv[1])", r.output}).exec();
      return 99;
    }))) << r.output;
  }
  // What the start scripts left running is in both cgroups, with the settings given.
  EXPECT_EQ("67108864\n512\n",
            read_file("/memory/vsd_3/memory.soft_limit_in_bytes") + read_file("/cpu/vsd_3/cpu.shares"));
  const pid_t stay = atoi(probe_report("vsd_probe_stay", "3")["pid"].c_str());
  for (const char* tasks : {"/memory/vsd_3/tasks", "/cpu/vsd_3/tasks"}) EXPECT_EQ(1u, tasks_of(tasks).count(stay));
  EXPECT_TRUE(big.killed_by(SIGKILL));  // by --enforce alone, the largest member
  EXPECT_TRUE(small.running());
}

}  // namespace
}  // namespace kiv::test
