// Launching processes into a running VSD: the caller restarted as a
// program or script, a detached /sbin/ program, the environment setup.
#include <errno.h>
#include <sched.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "kiv_dbg.h"
#include "kiv_vsd.h"
#include "support/capture.h"
#include "support/files.h"
#include "support/program.h"
#include "support/vsd_world.h"

namespace kiv::test {
namespace {

using ::testing::HasSubstr;
using ::testing::MatchesRegex;

constexpr int kVsd = 4;

class LaunchTest : public VsdTest {
 protected:
  void SetUp() override {
    VsdTest::SetUp();
    if (IsSkipped()) return;
    capture_stdout([] { ASSERT_EQ(0, create_vsd(kVsd)); });
    pinned_ = inode_of("/tmp/vsd/4/netns/default");
    ASSERT_NE(0u, pinned_);
    ASSERT_EQ(0, mkdir("/data/altbin", 0755));
    install_probe("vsd_probe_once");
  }

  // A probe's report shows it ran as a member of the VSD.
  void expect_member(std::map<std::string, std::string> seen) {
    ASSERT_FALSE(seen.empty()) << "no report";
    EXPECT_EQ("3400", seen["groups"]);
    EXPECT_EQ("/qn_cfg/vsd/4", seen["QN_CFG_DIR"]);
    EXPECT_EQ("/talu/vsd/4", seen["TALU_DIR"]);
    EXPECT_EQ("/data/.talu/vsd/4", seen["DATA_TALU_DIR"]);
    EXPECT_EQ("/tmp/vsd/4", seen["TMPDIR"]);
    EXPECT_EQ("/data/var/run/vsd/4", seen["cwd"]);
    EXPECT_EQ(std::to_string(pinned_), seen["netns"]);
    EXPECT_TRUE(exists("/tmp/vsd/4/kiv/" + seen["pid"])) << "member file of " << seen["pid"];
  }

  unsigned long long pinned_ = 0;
};

// Restarts a child as cmdline; the child's exit code is the program's, or
// 100 + minus the result when restart_proc_to_vsd came back.
ChildResult restart(const std::string& cmdline, int vsd_no, int is_script) {
  return run_in_child([&] {
    setenv("PATH", "/sbin:/usr/sbin:/bin:/usr/bin", 1);
    std::vector<char> buf(cmdline.begin(), cmdline.end());
    buf.push_back('\0');
    const int r = restart_proc_to_vsd(buf.data(), vsd_no, is_script);
    return 100 - r;
  });
}

std::string words(int from, int to) {
  std::string s;
  for (int i = from; i <= to; ++i) s += " a" + std::to_string(i);
  return s;
}

std::string joined(int from, int to) {
  std::string s;
  for (int i = from; i <= to; ++i) s += "|a" + std::to_string(i);
  return s;
}

TEST_F(LaunchTest, RestartAsProgramRunsTheFirstWordInsideTheVsd) {
  ASSERT_EQ(0, symlink(KIV_TEST_BIN_DIR "/vsd_probe", "/data/altbin/vsd_probe_once"));

  // The word's own path runs; /sbin/ only vouches for its base name. A
  // command of 20 words runs with its first 14.
  ChildResult run = restart("/data/altbin/vsd_probe_once" + words(2, 20), kVsd, 0);
  EXPECT_TRUE(run.exited(0)) << run.status;
  EXPECT_EQ("", run.output);
  auto seen = probe_report("vsd_probe_once", "4");
  expect_member(seen);
  EXPECT_EQ("/data/altbin/vsd_probe_once" + joined(2, 14), seen["argv"]);
  ASSERT_EQ(0, unlink("/tmp/vsd_probe/vsd_probe_once.4"));

  // Blanks and tabs around words; a word without a slash goes through PATH.
  run = restart("  vsd_probe_once\targ  ", kVsd, 0);
  EXPECT_TRUE(run.exited(0)) << run.status;
  seen = probe_report("vsd_probe_once", "4");
  expect_member(seen);
  EXPECT_EQ("vsd_probe_once|arg", seen["argv"]);
}

TEST_F(LaunchTest, RestartAsScriptRunsTheShellOnTheMappedScript) {
  install_probe("vsd_probe_script_once");
  const std::string body = "exec /sbin/vsd_probe_script_once \"$0\" \"$@\"\n";
  write_file("/etc/cmdmap/vsdfoo.sh", body, 0644);  // the shell reads it: no x bit needed
  write_file("/etc/cmdmap/vsdfoo", body, 0644);

  ChildResult run = restart("/usr/local/bin/vsdfoo a b", kVsd, 1);
  EXPECT_TRUE(run.exited(0)) << run.status;
  auto seen = probe_report("vsd_probe_script_once", "4");
  expect_member(seen);
  EXPECT_EQ("/sbin/vsd_probe_script_once|/etc/cmdmap/vsdfoo.sh|a|b", seen["argv"]);
  ASSERT_EQ(0, unlink("/tmp/vsd_probe/vsd_probe_script_once.4"));

  run = restart("vsdfoo a b", kVsd, 1);
  EXPECT_TRUE(run.exited(0)) << run.status;
  seen = probe_report("vsd_probe_script_once", "4");
  EXPECT_EQ("/sbin/vsd_probe_script_once|/etc/cmdmap/vsdfoo|a|b", seen["argv"]);
}

TEST_F(LaunchTest, RestartSpeaksOnlyWithTheProcessLogMarker) {
  g_kiv_dbg_level[KIV_DBG_LIB] = 0;  // the levels do not matter here
  ASSERT_EQ(0, symlink(KIV_TEST_BIN_DIR "/vsd_probe", "/data/altbin/vsd_probe_gone"));

  // The bad-parameter line is printed always.
  for (int n : {0, 16}) {
    ChildResult bad = restart("vsd_probe_once", n, 0);
    EXPECT_TRUE(bad.exited(101));
    EXPECT_THAT(bad.output, MatchesRegex("\\[KIV:kiv_vsd:[0-9]+\\]Bad parameter vsd_no:" + std::to_string(n) + "\n"));
  }
  g_kiv_dbg_level[KIV_DBG_LIB] = KIV_DBG_OFF;
  std::string out = capture_stdout([] { EXPECT_EQ(-1, restart_proc_to_vsd(nullptr, kVsd, 0)); });
  EXPECT_THAT(out, MatchesRegex("\\[KIV:kiv_vsd:[0-9]+\\]Bad parameter vsd_no:4\n"));

  // Not in /sbin/: silent without the marker, reported with it.
  ChildResult run = restart("/data/altbin/vsd_probe_gone", kVsd, 0);
  EXPECT_TRUE(run.exited(101));
  EXPECT_EQ("", run.output);
  write_file("/data/.procdlog", "");
  run = restart("/data/altbin/vsd_probe_gone", kVsd, 0);
  EXPECT_TRUE(run.exited(101));
  EXPECT_THAT(run.output, MatchesRegex("\\[KIV:kiv_vsd:[0-9]+\\]restart_proc_to_vsd:/sbin//vsd_probe_gone is not exist.\n"));

  // A program that cannot be executed: the member file is made first.
  run = restart("/nowhere/vsd_probe_once", kVsd, 0);
  EXPECT_TRUE(run.exited(101));
  EXPECT_THAT(run.output, HasSubstr("]HA_RESTART execvp fail, error = No such file or directory.\n"));
  EXPECT_TRUE(exists("/tmp/vsd/4/kiv/" + std::to_string(run.pid)));

  ASSERT_EQ(0, unlink("/data/.procdlog"));
  run = restart("/nowhere/vsd_probe_once", kVsd, 0);
  EXPECT_TRUE(run.exited(101));
  EXPECT_EQ("", run.output);

  // No word at all.
  run = restart(" \t ", kVsd, 0);
  EXPECT_TRUE(run.exited(101));
  // A VSD without a member directory: the member file's errno.
  run = restart("vsd_probe_once", 9, 0);
  EXPECT_TRUE(run.exited(100 + ENOENT)) << run.status;
}

TEST_F(LaunchTest, CreateProcStartsADetachedMemberFromSbin) {
  install_probe("vsd_probe_daemon");
  g_kiv_dbg_level[KIV_DBG_LIB] = 0;
  ChildResult run = run_in_child([] {
    const int r = create_proc_to_vsd("vsd_probe_daemon", kVsd);
    (void)wait(nullptr);  // the intermediate child
    return r;
  });
  EXPECT_TRUE(run.exited(0)) << run.status;
  EXPECT_THAT(run.output, HasSubstr("create_proc_to_vsd: parent proc: "));
  EXPECT_THAT(run.output, HasSubstr("]setgroups success\n"));
  auto seen = probe_report("vsd_probe_daemon", "4");
  expect_member(seen);
  EXPECT_EQ("/sbin/vsd_probe_daemon", seen["argv"]);
  // Adopted by the sandbox's init, not a child of the caller.
  EXPECT_THAT(read_file("/proc/" + seen["pid"] + "/status"), HasSubstr("\nPPid:\t1\n"));

  run = run_in_child([] {
    const int r = create_proc_to_vsd("vsd_probe_nothere", kVsd);
    (void)wait(nullptr);
    return r;
  });
  EXPECT_TRUE(run.exited(0));
  EXPECT_THAT(run.output, HasSubstr("create_proc_to_vsd: /sbin/vsd_probe_nothere is not exist.\n"));
}

TEST_F(LaunchTest, CreateProcWithoutTheNamespaceRecordsAProcessThatRunsNothing) {
  install_probe("vsd_probe_daemon");
  capture_stdout([] { ASSERT_EQ(0, delete_netns_for_vsd(kVsd)); });
  const size_t members = list_dir("/tmp/vsd/4/kiv").size();
  g_kiv_dbg_level[KIV_DBG_LIB] = 0;
  ChildResult run = run_in_child([] {
    const int r = create_proc_to_vsd("vsd_probe_daemon", kVsd);
    (void)wait(nullptr);  // the intermediate child
    return r;
  });
  g_kiv_dbg_level[KIV_DBG_LIB] = KIV_DBG_OFF;
  EXPECT_TRUE(run.exited(0)) << run.status;
  EXPECT_THAT(run.output, HasSubstr("]Open netns(/tmp/vsd/4/netns/default) fail:No such file or directory!\n"));
  EXPECT_TRUE(probe_report("vsd_probe_daemon", "4", 300).empty());
  // The process made for the program ended without it, but was recorded.
  EXPECT_EQ(members + 1, list_dir("/tmp/vsd/4/kiv").size());
}

TEST_F(LaunchTest, CreateProcRefusals) {
  g_kiv_dbg_level[KIV_DBG_LIB] = 0;
  std::string out = capture_stdout([] {
    EXPECT_EQ(-1, create_proc_to_vsd(nullptr, kVsd));
    EXPECT_EQ(-1, create_proc_to_vsd("vsd_probe_once", 16));
  });
  EXPECT_THAT(out, MatchesRegex("\\[KIV:kiv_vsd:[0-9]+\\]Bad parameter vsd_no:4\n"
                                "\\[KIV:kiv_vsd:[0-9]+\\]Bad parameter vsd_no:16\n"));

  // A VSD that does not exist ends the caller, whatever the levels.
  g_kiv_dbg_level[KIV_DBG_LIB] = KIV_DBG_OFF;
  ChildResult run = run_in_child([] {
    (void)create_proc_to_vsd("vsd_probe_once", 7);
    return 50;
  });
  EXPECT_TRUE(run.exited(1)) << run.status;
  EXPECT_THAT(run.output, MatchesRegex("\\[KIV:kiv_vsd:[0-9]+\\]vsd 7 is not exist\n"));
}

TEST_F(LaunchTest, SetProcEnvPreparesTheCallerOrChangesNothing) {
  ChildResult run = run_in_child([] {
    setenv("DATA_TALU_DIR2", "kept", 1);  // no /data2/: left as it was
    set_proc_env(kVsd);
    char cwd[256] = {};
    gid_t groups[8] = {};
    const int n = getgroups(8, groups);
    printf("%s %s %s %d:%u\n", getenv("TMPDIR"), getenv("DATA_TALU_DIR2"), getcwd(cwd, sizeof cwd), n,
           groups[0]);
    return 0;
  });
  EXPECT_EQ("/tmp/vsd/4 kept /data/var/run/vsd/4 1:3400\n", run.output);

  // The file-system service fails: nothing else is changed.
  g_kiv_dbg_level[KIV_DBG_LIB] = 0;
  run = run_in_child([] {
    setenv("FS_SERVICE_STUB_FAIL", "5", 1);
    set_proc_env(kVsd);
    char cwd[256] = {};
    printf("%s %s %d\n", getenv("TMPDIR") ? "set" : "unset", getcwd(cwd, sizeof cwd),
           getgroups(0, nullptr));
    return 0;
  });
  EXPECT_THAT(run.output, MatchesRegex("\\[KIV:kiv_vsd:[0-9]+\\]set_proc_env: fs set vsd envs fail\n"
                                    "unset / 0\n"));
}

TEST_F(LaunchTest, MissingServiceLibraryIsAFailureNotACrash) {
  // A fresh process in a mount namespace of its own, where the service
  // library is hidden behind an empty file. Its failure is printed with the
  // debug levels off.
  ChildResult run = run_in_child([] {
    if (unshare(CLONE_NEWNS) != 0) return 90;
    if (mount("/dev/null", KIV_BUILD_DIR "/" FS_SERVICE_SONAME, nullptr, MS_BIND, nullptr) != 0) return 91;
    ProgramCommand(KIV_TEST_BIN_DIR "/vsd_set_env", {"vsd_set_env", "4", "quiet"}).exec();
    return 92;
  });
  EXPECT_TRUE(run.exited(0)) << run.status;
  EXPECT_THAT(run.output, MatchesRegex("\\[KIV:kiv_vsd:[0-9]+\\]fs_set_vsd_envs: not loaded from "
                                    FS_SERVICE_SONAME ": [^\n]+\n"
                                    "TMPDIR=<unset>\ncwd=/\ngroups=0\n"));
  // Unhidden, the same program is set up.
  run = run_in_child([] {
    ProgramCommand(KIV_TEST_BIN_DIR "/vsd_set_env", {"vsd_set_env", "4"}).exec();
    return 92;
  });
  EXPECT_THAT(run.output, HasSubstr("TMPDIR=/tmp/vsd/4\ncwd=/data/var/run/vsd/4\ngroups=1\n"));
}

}  // namespace
}  // namespace kiv::test
