// Registrations, withdrawals and heartbeats of processes and threads against
// a real peer on the control socket and the real alive table, on the fast
// clock: each call's request byte for byte, its pid database and member
// files, whether it waits for the acknowledgement, its retry loop, and the
// heartbeat of a thread in the table.
#include <errno.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>

#include <fstream>
#include <functional>

#include "kiv_sys_alive.h"
#include "kiv_utils.h"
#include "kiv_xtach.h"
#include "kiv_xtach/peer.h"
#include "support/child.h"
#include "support/fixture.h"

namespace kiv::test {
namespace {

constexpr int kPid = 815;
constexpr int kFar = KIV_ALIVE_PID_MAX + 6;  // beyond the alive table

class ExitActionTest : public SandboxTest {
  void SetUpSandboxed() override {
    keep_descriptors_matching("socket:");       // the cached control socket
    setenv("DATA_TALU_DIR", "/data/.talu", 1);  // no debug configuration there
    ASSERT_EQ(0, system("mkdir -p /tmp/vsd/1/kiv/db"));
  }
};

// The pid database file of a child of this test.
std::string db_file(int vsd, int pid) {
  return "/tmp/vsd/" + std::to_string(vsd) + "/kiv/db/" + program_invocation_short_name + "." + std::to_string(pid);
}

int keyword(int pid, const char* action) { return reg_third_part_process_exit_action(pid, action); }

// Makes /proc/PID/exe of this process name exe (a tmpfs over /proc, in a
// mount namespace of its own): 0, else -100.
int as_exe(const std::string& exe) {
  const std::string dir = "/proc/" + std::to_string(getpid());
  const bool ok = unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                  mount("tmpfs", "/proc", "tmpfs", 0, nullptr) == 0 && mkdir(dir.c_str(), 0755) == 0 &&
                  symlink(exe.c_str(), (dir + "/exe").c_str()) == 0;
  return ok ? 0 : -100;
}

// The byte of the thread kPid after a heartbeat, once the table has it and
// with list as the debug list.
int beat_in_table(const char* list) {
  write_file("/data/.kiv_lib_debug_pid", list);
  if (kiv_sys_init_alive_info(1) + kiv_sys_reg_alive_info(kPid) + kiv_client_reset_thread_notify(kPid, kPid, 3, 1))
    return -1;
  return kiv_sys_get_alive_seq(kPid) + kiv_sys_unreg_alive_info(kPid);
}

// Calls refused by the caller, the thread kPid of the process kPid: -5.
int refused() {
  return kiv_client_reg_thread_notify(kPid, kPid + 1, 1, 1) + kiv_client_reset_thread_notify(kPid + 1, kPid, 1, 1) +
         kiv_client_unreg_thread_notify(0) + keyword(0, "KIV_SHELL") + reg_process_exit_action(-5, 1);
}

// Runs call in a child of pid (in VSD 1 when vsd) on the fast clock:
// "RESULT PAUSES".
std::string run_as(int pid, bool vsd, const std::function<int()>& call) {
  std::ofstream("/proc/sys/kernel/ns_last_pid") << pid - 1;  // the sandbox's next pid, if free
  fast_clock(true);
  const ChildResult r = run_in_child([&] {
    const gid_t groups[] = {3100, 3200};
    if ((vsd && setgroups(2, groups) != 0) || getpid() != pid) return 3;
    const int result = call();
    printf("%d %s", result, pauses().c_str());
    return 0;
  });
  fast_clock(false);
  EXPECT_TRUE(r.exited(0)) << "the child did not get pid " << pid;
  return r.output;
}

TEST_F(ExitActionTest, EachCallSendsItsRequestAndRecordsThePid) {
  using manager::make_cancel, manager::make_exit_action, manager::make_frame, manager::make_thread_notify;
  char text[1024] = {};  // the command line a child records: kiv_get_cmdline's (tested by UtilsTest)
  ASSERT_EQ(0, kiv_get_cmdline(getpid(), text, sizeof text));
  const std::string cmd = text, db2 = "815\n2\n" + cmd, db3 = "815\n3\n" + cmd, wait = " poll1000x5";
  const std::vector<uint8_t> none,
      cancel = make_frame(5, "", make_cancel(KIV_CANCEL_PROCESS, kPid)),
      thread = make_frame(3, "", make_thread_notify(kPid, kPid, 4, 180));  // the odd preset
  const auto restart = [&](uint32_t type, int vsd) { return make_frame(type, "", make_exit_action(kPid, vsd, cmd)); };
  const struct {
    const char* what;
    std::function<int()> call;
    std::string outcome;             // result, then its pauses: poll1000x5 when it waited for an acknowledgement
    std::vector<uint8_t> sent = {};  // the one request sent, if any
    std::string db = "-";            // the pid database file afterwards; "-": none
    bool vsd = false;                // the child is in VSD 1
    int pid = kPid;
  } rows[] = {
      {"restart", [] { return reg_process_exit_action(0, 1); }, "0" + wait, restart(1, 0), db2},
      {"restart in a VSD", [] { return reg_process_exit_action(0, 1); }, "0" + wait, restart(1, 1), db2, true},
      {"shell keyword, more after it", [] { return keyword(0, "KIV_SHELL_RESTART_"); }, "0" + wait, restart(2, 0), db3},
      {"shell", [] { return reg_process_exit_action_shell(0, 2, "/etc/cmdmap/app.sh"); }, "0 ",
       make_frame(2, "/etc/cmdmap/app.sh", make_exit_action(kPid, 0, cmd, 0, "test-15")), db3},
      {"time value", [] { return kiv_time_set(17, 9, 123456); }, "0 ",
       make_frame(9, "", make_exit_action(17, 0, "", 123456, "test-17"))},
      {"cancel: removes the file", [] { return kiv_cancel_proc(0); }, "0" + wait + " sleep1000", cancel},
      {"thread, time 3, count 1000", [] { return kiv_client_reg_thread_notify(kPid, kPid, 3, 1000); }, "0" + wait,
       thread},
      {"thread, SIGABRT then ignored",
       [] { return kiv_client_reg_thread_notify_no_proc(kPid, kPid, 3, 1000) + (signal(SIGABRT, SIG_DFL) != SIG_IGN); },
       "0" + wait, thread},
      {"thread withdrawal", [] { return kiv_client_unreg_thread_notify(4242); }, "0" + wait,
       make_frame(5, "", make_cancel(KIV_CANCEL_THREAD, 4242))},
      {"heartbeat beyond the table, even time", [] { return kiv_client_reset_thread_notify(kFar, kFar, 2, 1); }, "0 ",
       make_frame(4, "", make_thread_notify(kFar, kFar, 5, 120)), "-", false, kFar},
      {"heartbeat of a thread not in the table", [] { return kiv_client_reset_thread_notify(kPid, kPid, 3, 1); },
       "0" + wait, thread},
      {"refused arguments", refused, "-5 "},
      {"the Manager's own process: no thread or cancel",
       [] { return as_exe("/usr/sbin/kiv") + kiv_client_reg_thread_notify(kPid, kPid, 3, 1) + kiv_cancel_proc(0); },
       "0 sleep1000"},
      {"a program named like the Manager, longer",
       [] { return as_exe("/usr/sbin/kivd") + kiv_client_reg_thread_notify(kPid, kPid, 3, 1000); }, "0" + wait, thread},
      {"beat in the table: its byte", [] { return beat_in_table(""); }, "2 "},
      {"on the debug list: silent", [] { return beat_in_table("17\n815\n99\n"); }, "1 "},
      {"no Manager: thirty attempts a second apart",
       [] { return block_manager_socket(), reg_process_exit_action(0, 1); }, "0 sleep1000x30", none, db2},
      {"no Manager: thirty attempts each, failed",
       [] { return block_manager_socket(), kiv_cancel_proc(0) + kiv_client_reg_thread_notify(kPid, kPid, 1, 1); },
       "-2 sleep1000x60"},
      {"no Manager: one attempt each",
       [] { return block_manager_socket(), reg_process_exit_action_shell(0, 2, "/x") + kiv_time_set(0, 1, 1); }, "-2 ",
       none, db3},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    Peer peer(PeerMode::kSilent);
    const std::string db = db_file(r.vsd ? 1 : 0, r.pid);
    if (r.sent == cancel) write_file(db);
    EXPECT_EQ(r.outcome, run_as(r.pid, r.vsd, r.call));
    EXPECT_EQ(r.sent, r.sent.empty() ? r.sent : peer.next_frame(1000).value_or(Frame()).bytes);
    EXPECT_TRUE(peer.frames_within(20).empty());
    EXPECT_EQ(r.db, exists(db) ? read_file(db) : "-");
    EXPECT_EQ(r.vsd, exists("/tmp/vsd/1/kiv/815"));  // the member file, in a VSD only
    EXPECT_FALSE(exists("/tmp/vsd/0/kiv/815"));
    remove_tree(db);
    remove_tree("/tmp/vsd/1/kiv/815");
    remove_tree("/tmp/kiv");  // made a file by a row without a Manager
  }
}

}  // namespace
}  // namespace kiv::test
