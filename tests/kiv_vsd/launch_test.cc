// Launching processes into a VSD: the caller restarted as a program or
// script, or a detached /sbin/ program.
#include <stdlib.h>
#include <sys/wait.h>

#include "support/vsd_world.h"

namespace kiv::test {
namespace {

class LaunchTest : public VsdTest {
 protected:
  void SetUp() override {
    VsdTest::SetUp();
    if (IsSkipped()) return;
    capture_stdout([] { ASSERT_EQ(0, create_vsd(4)); });
    ns_ = std::to_string(inode_of("/tmp/vsd/4/netns/default"));
    install_probe("vsd_probe_once");
  }
  // The report of probe name shows it ran as a recorded member of VSD 4.
  void expect_member(const std::string& name, const std::string& argv) {
    const auto seen = probe_report(name, "4");
    EXPECT_TRUE(exists("/tmp/vsd/4/kiv/" + seen.at("pid"))) << "member file of " << seen.at("pid");
    EXPECT_EQ(vsd_view("4", ns_, argv), without_pid(seen));
  }
  std::string ns_;
};

std::string words(const char* sep, int to) { return to < 2 ? "" : words(sep, to - 1) + sep + std::to_string(to); }

// Rows: a command line restarted in a child, whose exit code is the
// program's, or 100 - the result when restart_proc_to_vsd came back.
TEST_F(LaunchTest, RestartTurnsTheCallerIntoTheProgramOrScript) {
  make_dirs({"/data/altbin"});
  ASSERT_EQ(0, symlink(KIV_TEST_BIN_DIR "/vsd_probe_once", "/data/altbin/vsd_probe_once"));
  const std::string script = "exec /sbin/vsd_probe_once \"$0\" \"$@\"\n";  // read by the shell: no x bit
  write_file("/etc/cmdmap/vsdfoo.sh", script);
  write_file("/etc/cmdmap/vsdfoo", script);
  const std::string bad = "\\[KIV:kiv_vsd:[0-9]+\\]Bad parameter vsd_no:", tag = "\\[KIV:kiv_vsd:[0-9]+\\]";
  const std::string long_cmd = "/data/altbin/vsd_probe_once" + words(" a", 20);
  const struct {
    const char* cmd;
    int vsd, script;
    bool procdlog;
    int exit;
    std::string out, argv;  // argv: that of the probe's report, if one is due
  } rows[] = {
      // The word's own path runs; /sbin/ only vouches for its base name. Of
      // 20 words the first 14 count.
      {long_cmd.c_str(), 4, 0, false, 0, "", "/data/altbin/vsd_probe_once" + words("|a", 14)},
      {"  vsd_probe_once\targ  ", 4, 0, false, 0, "", "vsd_probe_once|arg"},  // through PATH
      {"/usr/local/bin/vsdfoo a b", 4, 1, false, 0, "", "/sbin/vsd_probe_once|/etc/cmdmap/vsdfoo.sh|a|b"},
      {"vsdfoo a b", 4, 1, false, 0, "", "/sbin/vsd_probe_once|/etc/cmdmap/vsdfoo|a|b"},
      // The bad-parameter line is printed whatever the log levels, the
      // others only with /data/.procdlog.
      {"vsd_probe_once", 0, 0, false, 101, bad + "0\n", ""},
      {"vsd_probe_once", 16, 0, false, 101, bad + "16\n", ""},
      {nullptr, 4, 0, false, 101, bad + "4\n", ""},
      {"/data/altbin/vsd_probe_gone", 4, 0, false, 101, "", ""},
      {"/data/altbin/vsd_probe_gone", 4, 0, true, 101,
       tag + "restart_proc_to_vsd:/sbin//vsd_probe_gone is not exist.\n", ""},
      {"/nowhere/vsd_probe_once", 4, 0, true, 101, tag + "HA_RESTART execvp fail, error = No such file or directory.\n",
       ""},
      {" \t ", 4, 0, false, 101, "", ""},
      {"vsd_probe_once", 9, 0, false, 100 + ENOENT, "", ""},  // no member directory
  };
  for (const auto& row : rows) {
    const std::string what = row.cmd != nullptr ? row.cmd : "null";
    if (row.procdlog) write_file("/data/.procdlog");
    const ChildResult run = run_in_child([&] {
      setenv("PATH", "/sbin:/bin:/usr/bin", 1);
      std::string cmd = what;
      return 100 - restart_proc_to_vsd(row.cmd != nullptr ? cmd.data() : nullptr, row.vsd, row.script);
    });
    (void)unlink("/data/.procdlog");
    EXPECT_EQ(row.exit, exit_code(run)) << what;
    EXPECT_THAT(run.output, MatchesRegex(row.out)) << what;
    if (!row.argv.empty()) expect_member("vsd_probe_once", row.argv);
    (void)unlink("/tmp/vsd_probe/vsd_probe_once.4");
    // A program that could not be executed was made a member all the same.
    EXPECT_EQ(row.exit == 0 || what.rfind("/nowhere", 0) == 0, exists("/tmp/vsd/4/kiv/" + std::to_string(run.pid)))
        << what;
  }
}

TEST_F(LaunchTest, CreateProcStartsADetachedMemberFromSbin) {
  install_probe("vsd_probe_daemon");
  // The caller's exit code is 10 + the result; it reaps what it can.
  const auto launch = [](const char* name, int vsd) {
    return run_in_child([=] {
      g_kiv_dbg_level[KIV_DBG_LIB] = 0;
      const int r = create_proc_to_vsd(name, vsd);
      while (wait(nullptr) > 0) continue;
      return r + 10;
    });
  };
  EXPECT_EQ(10, exit_code(launch("vsd_probe_daemon", 4)));
  expect_member("vsd_probe_daemon", "/sbin/vsd_probe_daemon");
  // Adopted by the sandbox's init, not a child of the caller.
  EXPECT_THAT(read_file("/proc/" + probe_report("vsd_probe_daemon", "4")["pid"] + "/status"),
              HasSubstr("\nPPid:\t1\n"));
  EXPECT_THAT(launch("vsd_probe_nothere", 4).output,
              HasSubstr("]create_proc_to_vsd: /sbin/vsd_probe_nothere is not exist.\n"));
  EXPECT_EQ(18, exit_code(launch(nullptr, 4)) + exit_code(launch("vsd_probe_daemon", 16)));
  // A VSD that does not exist ends the caller.
  const ChildResult run = launch("vsd_probe_daemon", 7);
  EXPECT_EQ(1, exit_code(run));
  EXPECT_THAT(run.output, MatchesRegex("\\[KIV:kiv_vsd:[0-9]+\\]vsd 7 is not exist\n"));
  // Without the namespace the process made for the program is recorded, but
  // ends without running it.
  ASSERT_EQ(0, unlink("/tmp/vsd_probe/vsd_probe_daemon.4") + delete_netns_for_vsd(4));
  const size_t members = list_dir("/tmp/vsd/4/kiv").size();
  EXPECT_THAT(launch("vsd_probe_daemon", 4).output,
              HasSubstr("]Open netns(/tmp/vsd/4/netns/default) fail:No such file or directory!\n"));
  EXPECT_FALSE(wait_until([] { return exists("/tmp/vsd_probe/vsd_probe_daemon.4"); }, 300));
  EXPECT_EQ(members + 1, list_dir("/tmp/vsd/4/kiv").size());
}

}  // namespace
}  // namespace kiv::test
