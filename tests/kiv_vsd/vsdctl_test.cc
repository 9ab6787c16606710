// vsdctl end to end: every step is checked against the file system and the
// kernel (tasks and limit files, process groups, namespace inodes), not
// only against what the tool prints.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <set>

#include "kiv_vsd.h"
#include "support/vsd_world.h"

namespace kiv::test {
namespace {

using ::testing::HasSubstr;
using ::testing::IsSupersetOf;
using ::testing::MatchesRegex;
using ::testing::Not;
using ::testing::StartsWith;

constexpr char kTool[] = KIV_BUILD_DIR "/tools/vsdctl/vsdctl";

std::string describe(const ChildResult& r) { return "status " + std::to_string(r.status) + ", stderr: " + r.errors; }

// Executes the tool with args and stdin from /dev/null (run in a child).
int exec_tool(std::vector<std::string> args) {
  args.insert(args.begin(), "vsdctl");
  std::vector<char*> argv;
  for (auto& w : args) argv.push_back(w.data());
  argv.push_back(nullptr);
  dup2(open("/dev/null", O_RDONLY), 0);
  execv(kTool, argv.data());
  return 99;
}

// One run of the tool, with its standard output and error kept apart.
ChildResult vsdctl(const std::vector<std::string>& args) {
  return Child([&] { return exec_tool(args); }, true).wait(30);
}

class VsdctlTest : public VsdTest {
 protected:
  void SetUp() override {
    VsdTest::SetUp();
    if (IsSkipped()) return;
    ASSERT_EQ(0, access(kTool, X_OK)) << kTool;
  }
};

TEST_F(VsdctlTest, HelpUsageErrorsAndEmptyListings) {
  ChildResult r;
  for (const char* cmd : {"create", "stop", "delete", "reload", "list", "launch", "set", "mem", "exec"}) {
    r = vsdctl({cmd, "--help"});
    EXPECT_EQ(0, exit_code(r)) << cmd;
    EXPECT_THAT(r.output, StartsWith(std::string("Usage: vsdctl ") + cmd)) << cmd;
    EXPECT_EQ(r.output, vsdctl({"help", cmd}).output) << cmd;
  }

  // Usage errors: status 2, one line on standard error, nothing else.
  const std::vector<std::pair<std::vector<std::string>, std::string>> usage = {
      {{"create", "0"}, "vsdctl: create: invalid VSD number '0' (VSDs are 1 to 15)\n"},
      {{"delete", "16"}, "vsdctl: delete: invalid VSD number '16' (VSDs are 1 to 15)\n"},
      {{"stop", "-1"}, "vsdctl: stop: unknown option '-1' (try 'vsdctl stop --help')\n"},
      {{"reload"}, "vsdctl: reload: missing VSD number (try 'vsdctl reload --help')\n"},
      {{"create", "3", "4"}, "vsdctl: create: unexpected argument '4'\n"},
      {{"set", "3", "--memory", "12Q"}, "vsdctl: set: invalid memory size '12Q'\n"},
      {{"set", "3", "--cpu", "2561"}, "vsdctl: set: invalid cpu weight '2561' (1 to 2560)\n"},
      {{"set", "3", "--memory=1G", "4"}, "vsdctl: set: unexpected argument '4'\n"},
      {{"launch", "3"}, "vsdctl: launch: missing the command to launch\n"},
      {{"launch", "3", "a b"}, "vsdctl: launch: word 'a b' is empty or holds a blank\n"},
      {{"list", "extra"}, "vsdctl: list: unexpected argument 'extra'\n"},
      {{"frobnicate"}, "vsdctl: unknown command 'frobnicate' (try 'vsdctl --help')\n"},
  };
  for (const auto& [args, err] : usage) {
    r = vsdctl(args);
    EXPECT_EQ(2, exit_code(r)) << args[0];
    EXPECT_EQ(err, r.errors);
    EXPECT_EQ("", r.output);
  }

  // Failures: status 1. A VSD that does not exist is not torn down (no
  // teardown marker, no 15 s wait).
  const long long start = monotonic_ms();
  r = vsdctl({"delete", "9"});
  EXPECT_EQ(1, exit_code(r));
  EXPECT_EQ("vsdctl: delete: vsd 9 does not exist\n", r.errors);
  EXPECT_LT(monotonic_ms() - start, 5000);
  EXPECT_FALSE(exists("/tmp/vsd/9"));
  r = vsdctl({"exec", "9", "true"});
  EXPECT_EQ(1, exit_code(r));
  EXPECT_EQ("vsdctl: exec: vsd 9 does not exist\n", r.errors);

  r = vsdctl({"list"});
  EXPECT_EQ(0, exit_code(r));
  EXPECT_THAT(r.output, MatchesRegex("VSD +STATE +NETNS +MEMORY +CPU_SHARES +MEMBERS\n"));
  r = vsdctl({"list", "--json"});
  EXPECT_EQ("{\"vsds\":[]}\n", r.output);
}

// pid of a probe's report, after waiting for it.
std::string probe_pid(const std::string& name, int n) { return probe_report(name, std::to_string(n))["pid"]; }

std::set<pid_t> as_pids(const std::vector<std::string>& texts) {
  std::set<pid_t> pids;
  for (const auto& t : texts) pids.insert(static_cast<pid_t>(atoi(t.c_str())));
  return pids;
}

bool mounted(const std::string& path) {
  return read_file("/proc/self/mountinfo").find(" " + path + " ") != std::string::npos;
}

bool gone(const std::string& pid) {
  const std::string stat = read_file("/proc/" + pid + "/stat");
  return stat.empty() || stat.find(") Z ") != std::string::npos;
}

// The life of three VSDs through the tool: create, launch, limits, list,
// memory, exec, and then delete, stop and reload side by side.
TEST_F(VsdctlTest, LifeOfVsdsThroughTheTool) {
  require_cgroups();
  if (IsSkipped()) return;
  install_start_script();
  install_probe("vsd_probe_run");
  install_probe("vsd_probe_late");
  install_probe("vsd_probe_script_once");

  for (int n : {3, 4, 5}) {
    const ChildResult r = vsdctl({"create", std::to_string(n)});
    ASSERT_EQ(0, exit_code(r)) << describe(r);
    EXPECT_EQ("", r.output);  // whatever the start scripts print goes to stderr
    EXPECT_TRUE(mounted("/tmp/vsd/" + std::to_string(n) + "/netns/default"));
  }
  const unsigned long long ns3 = inode_of("/tmp/vsd/3/netns/default");
  const std::string stay3 = probe_pid("vsd_probe_stay", 3);
  ASSERT_FALSE(stay3.empty());
  EXPECT_EQ(std::to_string(ns3), probe_report("vsd_probe_stay", "3")["netns"]);
  EXPECT_TRUE(exists("/tmp/vsd/3/kiv/" + stay3));

  ChildResult r = vsdctl({"create", "3"});
  EXPECT_EQ(1, exit_code(r));
  EXPECT_EQ("vsdctl: create: vsd 3 already exists\n", r.errors);

  // Launch a program: it runs inside the VSD and is recorded.
  r = vsdctl({"launch", "3", "vsd_probe_run", "x", "y"});
  ASSERT_EQ(0, exit_code(r)) << describe(r);
  const std::string run = probe_pid("vsd_probe_run", 3);
  EXPECT_EQ(run + "\n", r.output);
  auto seen = probe_report("vsd_probe_run", "3");
  EXPECT_EQ("3300", seen["groups"]);
  EXPECT_EQ(std::to_string(ns3), seen["netns"]);
  EXPECT_EQ("/data/var/run/vsd/3", seen["cwd"]);
  EXPECT_EQ("/sbin/vsd_probe_run|x|y", seen["argv"]);
  EXPECT_TRUE(exists("/tmp/vsd/3/kiv/" + run));
  EXPECT_THAT(read_file("/proc/" + run + "/status"), HasSubstr("\nGroups:\t3300 \n"));

  // A script in the foreground: the tool ends with the script's status.
  write_file("/etc/cmdmap/vsdtool.sh", "/sbin/vsd_probe_script_once \"$@\"\nexit 7\n", 0644);
  r = vsdctl({"launch", "--wait", "--script", "3", "/opt/vsdtool", "s1"});
  EXPECT_EQ(7, exit_code(r)) << describe(r);
  seen = probe_report("vsd_probe_script_once", "3");
  EXPECT_EQ("3300", seen["groups"]);
  EXPECT_EQ("/sbin/vsd_probe_script_once|s1", seen["argv"]);

  r = vsdctl({"launch", "3", "vsd_probe_nothere"});
  EXPECT_EQ(1, exit_code(r));
  EXPECT_EQ("vsdctl: launch: 'vsd_probe_nothere' is not a program of /sbin\n", r.errors);
  r = vsdctl({"launch", "--script", "3", "nosuch"});
  EXPECT_EQ(1, exit_code(r));
  EXPECT_EQ("vsdctl: launch: no script /etc/cmdmap/nosuch\n", r.errors);

  // Limits: members placed, values in the kernel's files.
  r = vsdctl({"set", "3", "--memory", "64M", "--cpu", "5"});
  ASSERT_EQ(0, exit_code(r)) << describe(r);
  EXPECT_EQ("", r.output);
  EXPECT_EQ("67108864", control_value("/memory/vsd_3/memory.limit_in_bytes"));
  EXPECT_EQ("67108864", control_value("/memory/vsd_3/memory.soft_limit_in_bytes"));
  EXPECT_EQ("512", control_value("/cpu/vsd_3/cpu.shares"));
  const std::set<pid_t> members = as_pids({stay3, run});
  EXPECT_THAT(tasks_of("/memory/vsd_3/tasks"), IsSupersetOf(members));
  EXPECT_THAT(tasks_of("/cpu/vsd_3/tasks"), IsSupersetOf(members));
  EXPECT_EQ(0u, tasks_of("/memory/vsd_3/tasks").count(getpid()));

  // A launch into a VSD with cgroups lands in them.
  r = vsdctl({"launch", "3", "vsd_probe_late"});
  ASSERT_EQ(0, exit_code(r)) << describe(r);
  const std::string late = probe_pid("vsd_probe_late", 3);
  EXPECT_EQ(late + "\n", r.output);
  EXPECT_EQ(1u, tasks_of("/memory/vsd_3/tasks").count(atoi(late.c_str())));
  EXPECT_EQ(1u, tasks_of("/cpu/vsd_3/tasks").count(atoi(late.c_str())));

  // The listing, as text and as JSON (also with the library's log on).
  r = vsdctl({"list"});
  ASSERT_EQ(0, exit_code(r)) << describe(r);
  EXPECT_THAT(r.output, HasSubstr("\n3    running   pinned 65536K       512        "));
  EXPECT_THAT(r.output, HasSubstr("\n     " + stay3 + std::string(8 - stay3.size(), ' ') + " running  vsd_probe_stay\n"));
  EXPECT_THAT(r.output, HasSubstr("\n4    running   pinned -            -          "));
  for (const std::vector<std::string>& args : {std::vector<std::string>{"list", "--json"}, {"-d", "--json", "list"}}) {
    r = vsdctl(args);
    ASSERT_EQ(0, exit_code(r)) << describe(r);
    EXPECT_THAT(r.output, HasSubstr("{\"vsd\":3,\"state\":\"running\",\"netns\":true,\"memory_limit_kib\":65536,"
                                 "\"cpu_shares\":512,\"members\":["));
    EXPECT_THAT(r.output, HasSubstr("{\"pid\":" + run + ",\"state\":\"running\",\"name\":\"vsd_probe_run\"}"));
    EXPECT_THAT(r.output, HasSubstr("{\"vsd\":4,\"state\":\"running\",\"netns\":true,\"memory_limit_kib\":null,"
                                 "\"cpu_shares\":null,\"members\":["));
  }

  // The memory report: VSD 3's use is the sum of its processes' resident
  // memory outside libraries, measured here the same way.
  r = vsdctl({"-d", "mem", "--json"});
  ASSERT_EQ(0, exit_code(r)) << describe(r);
  uint64_t table[KIV_VSD_SLOTS] = {};
  for (const auto& pid : list_dir("/proc")) {
    if (pid.find_first_not_of("0123456789") == std::string::npos && get_vsdid(atoi(pid.c_str())) == 3)
      (void)get_vsd_mem(("/proc/" + pid + "/smaps").c_str(), 3, table);
  }
  ASSERT_GT(table[3], 0u);
  EXPECT_THAT(r.output, HasSubstr("{\"vsd\":3,\"used_kib\":" + std::to_string(table[3]) +
                                  ",\"limit_kib\":65536,\"over_limit\":false}"));
  EXPECT_THAT(r.output, MatchesRegex("\\{\"vsds\":\\[\\{\"vsd\":0,\"used_kib\":[1-9][0-9]*,\"limit_kib\":null,.*"));
  EXPECT_THAT(r.output, MatchesRegex(".*\\{\"vsd\":4,\"used_kib\":[1-9][0-9]*,\"limit_kib\":null,\"over_limit\":false\\}.*"));
  r = vsdctl({"mem"});
  EXPECT_THAT(r.output, MatchesRegex("VSD +USED_KIB +LIMIT_KIB\nhost +[0-9]+ +-\n3 +[0-9]+ +65536\n4 +[0-9]+ +-\n5 +[0-9]+ +-\n"));

  // A command in the namespace, and its status.
  r = vsdctl({"-d", "exec", "3", "readlink", "/proc/self/ns/net"});
  EXPECT_EQ(0, exit_code(r)) << describe(r);
  EXPECT_EQ("net:[" + std::to_string(ns3) + "]\n", r.output);
  EXPECT_THAT(r.errors, HasSubstr("]vsd3 netns path:/tmp/vsd/3/netns/default\n"));  // the log, kept off stdout
  EXPECT_EQ(1, exit_code(vsdctl({"exec", "3", "false"})));
  r = vsdctl({"exec", "3", "/nowhere/cmd"});
  EXPECT_EQ(127, exit_code(r));
  EXPECT_EQ("vsdctl: exec: cannot run '/nowhere/cmd': No such file or directory\n", r.errors);

  // Delete, stop and reload side by side (each takes 15 s).
  const std::string stay4 = probe_pid("vsd_probe_stay", 4);
  const std::string stay5 = probe_pid("vsd_probe_stay", 5);
  const std::string start5 = read_file("/tmp/vsd/5/starttime");
  Child del([] { return exec_tool({"delete", "3"}); }, true);
  Child stop([] { return exec_tool({"stop", "4"}); }, true);
  Child reload([] { return exec_tool({"reload", "5"}); }, true);
  const ChildResult deleted = del.wait(60);
  const ChildResult stopped = stop.wait(60);
  const ChildResult reloaded = reload.wait(60);

  EXPECT_EQ(0, exit_code(deleted)) << describe(deleted);
  EXPECT_EQ("", deleted.output);  // the progress lines went to stderr
  EXPECT_THAT(deleted.errors, HasSubstr("After 10s, Delete vsd: 3 OK.\n"));
  for (const std::string& pid : {stay3, run, late}) EXPECT_TRUE(gone(pid)) << pid;
  EXPECT_FALSE(mounted("/tmp/vsd/3/netns/default"));
  for (const char* path : {"/tmp/vsd/3", "/memory/vsd_3", "/cpu/vsd_3", "/data/.talu/vsd/3"})
    EXPECT_FALSE(exists(path)) << path;

  EXPECT_EQ(0, exit_code(stopped)) << describe(stopped);
  EXPECT_TRUE(gone(stay4));
  EXPECT_TRUE(mounted("/tmp/vsd/4/netns/default"));
  EXPECT_FALSE(exists("/tmp/vsd/4/kiv"));
  EXPECT_TRUE(exists("/data/.talu/vsd/4"));

  EXPECT_EQ(0, exit_code(reloaded)) << describe(reloaded);
  EXPECT_TRUE(gone(stay5));
  EXPECT_TRUE(exists("/tmp/vsd/5/kiv/db"));
  EXPECT_NE(start5, read_file("/tmp/vsd/5/starttime"));  // renewed
  EXPECT_TRUE(mounted("/tmp/vsd/5/netns/default"));

  r = vsdctl({"list", "--all"});
  EXPECT_THAT(r.output, HasSubstr("\n3    absent    -      "));
  EXPECT_THAT(r.output, HasSubstr("\n4    stopped   pinned "));
  EXPECT_THAT(r.output, HasSubstr("\n5    running   pinned "));
  EXPECT_THAT(vsdctl({"list"}).output, Not(HasSubstr("\n3 ")));

  // A stopped VSD keeps its namespace but no member directory: a launch
  // into it fails with the cause, and it can't be created over.
  r = vsdctl({"launch", "4", "vsd_probe_run"});
  EXPECT_EQ(1, exit_code(r));
  EXPECT_EQ("vsdctl: launch: cannot start 'vsd_probe_run' in vsd 4: No such file or directory\n", r.errors);
  EXPECT_EQ("vsdctl: create: vsd 4 already exists\n", vsdctl({"create", "4"}).errors);
}

// The report kills nothing; only --enforce runs the watch, which kills the
// largest member of a VSD over its limit (charged outside the cgroup, so
// that the kernel's own limit stays out of the way).
TEST_F(VsdctlTest, MemReportsAndOnlyEnforceKills) {
  require_cgroups();
  if (IsSkipped()) return;
  ASSERT_EQ(0, mkdir("/memory/vsd_6", 0755));
  make_member_dir(6);
  Hog big(8192, {3600});
  Hog small(1024, {3600});
  add_member(6, big.pid());
  add_member(6, small.pid());
  ASSERT_EQ(0, set_mem_group(6, 4096));

  ChildResult r = vsdctl({"mem", "--json"});
  ASSERT_EQ(0, exit_code(r)) << describe(r);
  EXPECT_THAT(r.output, MatchesRegex(".*\\{\"vsd\":6,\"used_kib\":[0-9]+,\"limit_kib\":4096,\"over_limit\":true\\}.*"));
  EXPECT_THAT(vsdctl({"mem"}).output, MatchesRegex("(.|\n)*\n6 +[0-9]+ +4096  over\n"));
  EXPECT_TRUE(big.running());
  EXPECT_TRUE(small.running());

  r = vsdctl({"mem", "--enforce", "--json"});
  ASSERT_EQ(0, exit_code(r)) << describe(r);
  EXPECT_TRUE(big.killed_by(SIGKILL));
  EXPECT_TRUE(small.running());
  EXPECT_THAT(r.output, HasSubstr("{\"vsd\":6,\"used_kib\":4096,\"limit_kib\":4096,\"over_limit\":false}"));
}

}  // namespace
}  // namespace kiv::test
