// Registrations, withdrawals and heartbeats of processes and threads against
// a real peer on the control socket and the real alive table, on the fast
// clock: each call's request byte for byte, its pid database and member
// files, whether it waits for the acknowledgement, its retry loop, and the
// heartbeat's paths and system calls.
#include <grp.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>

#include <atomic>
#include <functional>

#include "kiv_sys_alive.h"
#include "kiv_xtach.h"
#include "kiv_xtach/reg_helpers.h"
#include "support/child.h"
#include "support/fixture.h"
#include "support/peer.h"

namespace kiv::test {
namespace {

constexpr int kPid = 815;
constexpr int kFar = KIV_ALIVE_PID_MAX + 6;  // beyond the alive table
constexpr int kAbsent = 4194305;             // above the kernel's pid limit: no command line
#ifndef SYS_access
#define SYS_access SYS_faccessat  // what access() calls where there is no access system call
#endif

class ExitActionTest : public SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    keep_descriptors_matching("socket:");       // the cached control socket
    setenv("DATA_TALU_DIR", "/data/.talu", 1);  // no debug configuration there
    ASSERT_EQ(0, system("mkdir -p /tmp/vsd/1/kiv/db"));
  }
};

// The pid database file of a child of this test.
std::string db_file(int vsd, int pid) {
  const std::string cmd = child_cmdline(), first = cmd.substr(0, cmd.find(' '));
  return "/tmp/vsd/" + std::to_string(vsd) + "/kiv/db/" + first.substr(first.rfind('/') + 1) + "." + std::to_string(pid);
}

int keyword(int pid, const char* action) { return reg_third_part_process_exit_action(pid, action); }

// Runs call in a child of pid (in VSD 1 when vsd) on the fast clock:
// "RESULT PAUSES".
std::string run_as(int pid, bool vsd, const std::function<int()>& call) {
  next_pid_is(pid);
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
  const std::string cmd = child_cmdline(), db2 = "815\n2\n" + cmd, db3 = "815\n3\n" + cmd, wait = " poll1000x5";
  const auto cancel = manager::make_cancel(KIV_CANCEL_PROCESS, kPid);
  const struct {
    const char* what;
    int pid;
    bool vsd;
    std::function<int()> call;
    std::string outcome;  // result, then its pauses: poll1000x5 when it waited for an acknowledgement
    uint32_t type;        // of the one request sent; 0: nothing is sent
    std::string name;
    std::vector<uint8_t> payload;
    std::string db;  // the pid database file afterwards; "-": none
  } rows[] = {
      {"restart", kPid, false, [] { return reg_process_exit_action(0, 1); }, "0" + wait, 1, "",
       exit_rec(kPid, 0, cmd, ""), db2},
      {"restart in a VSD", kPid, true, [] { return reg_process_exit_action(0, 1); }, "0" + wait, 1, "",
       exit_rec(kPid, 1, cmd, ""), db2},
      {"shell keyword, more after it", kPid, false, [] { return keyword(0, "KIV_SHELL_RESTART_"); }, "0" + wait, 2, "",
       exit_rec(kPid, 0, cmd, ""), db3},
      {"shell", kPid, false, [] { return reg_process_exit_action_shell(0, 2, "/etc/cmdmap/app.sh"); }, "0 ", 2,
       "/etc/cmdmap/app.sh", exit_rec(kPid, 0, cmd, "test-15"), db3},
      {"shell, command line unreadable", kPid, false, [] { return reg_process_exit_action_shell(kAbsent, 7, nullptr); },
       "0 ", 7, "", exit_rec(kAbsent, 0, "", "test-5"), "-"},
      {"time value", kPid, false, [] { return kiv_time_set(17, 9, 123456); }, "0 ", 9, "",
       exit_rec(17, 0, "", "test-17", 123456), "-"},
      {"cancel: removes the file", kPid, false, [] { return kiv_cancel_proc(0); }, "0" + wait + " sleep1000", 5, "",
       cancel, "-"},
      {"thread, time 3, count 1000", kPid, false, [] { return kiv_client_reg_thread_notify(kPid, kPid, 3, 1000); }, "0" + wait, 3,
       "", thread_rec(kPid, 4, 180), "-"},
      {"thread, time -2, count -7", kPid, false, [] { return kiv_client_reg_thread_notify(kPid, kPid, -2, -7); }, "0" + wait, 3,
       "", thread_rec(kPid, 5, 120), "-"},
      {"thread withdrawal", kPid, false, [] { return kiv_client_unreg_thread_notify(4242); }, "0" + wait, 5, "",
       manager::make_cancel(KIV_CANCEL_THREAD, 4242), "-"},
      {"heartbeat beyond the table", kFar, false, [] { return kiv_client_reset_thread_notify(kFar, kFar, 2, 1); }, "0 ",
       4, "", thread_rec(kFar, 5, 120), "-"},
      {"heartbeat of a thread not in the table", kPid, false, [] { return kiv_client_reset_thread_notify(kPid, kPid, 3, 1); },
       "0" + wait, 3, "", thread_rec(kPid, 4, 180), "-"},
      {"thread id 0", kPid, false, [] { return kiv_client_unreg_thread_notify(0); }, "-1 ", 0, "", {}, "-"},
      {"refused thread arguments", kPid, false, [] {
         int refused = 0;  // the caller is the thread kPid of the process kPid
         for (auto fn : {kiv_client_reg_thread_notify, kiv_client_reset_thread_notify})
           refused += fn(0, kPid, 1, 1) + fn(kPid, 0, 1, 1) + fn(kPid, kPid, 0, 1) + fn(kPid, kPid, 1, 0) +
                      fn(kPid, kPid + 1, 1, 1) + fn(kPid + 1, kPid, 1, 1);
         return refused; }, "-12 ", 0, "", {}, "-"},
      {"other keywords", kPid, false,
       [] { return keyword(0, "kiv_restart") + keyword(0, "KIV_SHELL") + keyword(0, "KIV_RESTAR"); }, "-3 ", 0, "", {}, "-"},
      {"negative pids", kPid, false, [] {
         return reg_process_exit_action(-5, 1) + reg_process_exit_action_shell(-5, 2, "/x") + keyword(-5, "KIV_RESTART") +
                kiv_time_set(-5, 1, 1) + kiv_cancel_proc(-5); }, "-5 ", 0, "", {}, "-"},
  };
  Peer peer(PeerMode::kSilent);
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    const std::string db = db_file(r.vsd ? 1 : 0, r.pid);
    if (r.payload == cancel) write_file(db);
    EXPECT_EQ(r.outcome, run_as(r.pid, r.vsd, r.call));
    if (r.type != 0) {
      const auto f = peer.next_frame(1000);
      ASSERT_TRUE(f);
      EXPECT_EQ(r.type, f->type());
      EXPECT_EQ(r.name, f->name());
      EXPECT_EQ(r.payload, f->payload());
    }
    EXPECT_TRUE(peer.frames_within(20).empty());
    EXPECT_EQ(r.db, exists(db) ? read_file(db) : "-");
    EXPECT_EQ(r.vsd, exists("/tmp/vsd/1/kiv/815"));  // the member file, in a VSD only
    EXPECT_FALSE(exists("/tmp/vsd/0/kiv/815"));
    remove_tree(db);
    remove_tree("/tmp/vsd/1/kiv/815");
  }
}

// Thirty attempts a second apart where the Manager cannot be reached, one
// for the others; none where it has exited (but the pause after a cancel).
TEST_F(ExitActionTest, RetryLoops) {
  const struct {
    bool exited;  // the Manager's exit marker; else no Manager can be reached
    int pid;
    std::function<int()> call;
    std::string outcome;
  } rows[] = {
      {false, kPid, [] { return reg_process_exit_action(0, 1); }, "0 sleep1000x30"},
      {false, kPid, [] { return kiv_cancel_proc(0); }, "-1 sleep1000x30"},
      {false, kPid, [] { return kiv_client_reg_thread_notify(kPid, kPid, 1, 1); }, "-1 sleep1000x30"},
      {false, kPid, [] { return reg_process_exit_action_shell(0, 2, "/x") + kiv_time_set(0, 1, 1); }, "-2 "},
      {false, kPid, [] { return kiv_client_unreg_thread_notify(kPid); }, "0 "},
      {false, kFar, [] { return kiv_client_reset_thread_notify(kFar, kFar, 1, 1); }, "0 "},
      {true, kPid, [] { return reg_process_exit_action(0, 1) + kiv_client_reg_thread_notify(kPid, kPid, 1, 1); }, "0 "},
      {true, kPid, [] { return kiv_cancel_proc(0); }, "0 sleep1000"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.outcome);
    r.exited ? write_file(KIV_STATUS_FILE) : block_manager_socket();
    EXPECT_EQ(r.outcome, run_as(r.pid, false, r.call));
    remove_tree(KIV_STATUS_FILE);
    remove_tree("/tmp/kiv");
  }
}

// The heartbeat of a thread in the table, the test playing the Manager's
// part there.
using ThreadNotifyTest = ExitActionTest;

// In the child below: access() traps into this count; the other system
// calls but the signal return and exit_group kill it.
std::atomic<int> g_accesses{0};

TEST_F(ThreadNotifyTest, HeartbeatOfARegisteredThreadIsOneAccessAndAByteInSharedMemory) {
  constexpr int kBeats = 300;  // past 255, which is followed by 1
  ASSERT_EQ(0, kiv_sys_init_alive_info(1));
  const ChildResult r = run_in_child([] {
    const int me = getpid();
    if (kiv_sys_reg_alive_info(me) != 0 || kiv_client_reset_thread_notify(me, me, 1, 1) != 0) return 2;
    const sock_filter code[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_access, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_TRAP),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_rt_sigreturn, 1, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_exit_group, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
    };
    const sock_fprog prog = {std::size(code), const_cast<sock_filter*>(code)};
    signal(SIGSYS, [](int) { ++g_accesses; });
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) != 0) return 3;
    int bad = 0;
    for (int i = 0; i < kBeats; ++i) bad += kiv_client_reset_thread_notify(me, me, 1, 1) != 0;
    syscall(SYS_exit_group, bad == 0 && g_accesses == kBeats ? 0 : 1);
    return 4;
  });
  if (exit_code(r) == 3) GTEST_SKIP() << "no seccomp filters here (qemu-user refuses them)";
  EXPECT_TRUE(r.exited(0)) << exit_code(r) << " (-1031: a system call other than access)";
  EXPECT_EQ((kBeats + 1) % 255 + 1, kiv_sys_get_alive_seq(r.pid));
}

TEST_F(ThreadNotifyTest, DebugListSilencesListedThreads) {
  Peer peer(PeerMode::kAck);
  const int tid = getpid();  // the test's main thread
  ASSERT_EQ(0, kiv_sys_init_alive_info(1));
  ASSERT_EQ(0, kiv_sys_reg_alive_info(tid));  // as the Manager does once it has accepted the registration
  const std::string me = std::to_string(tid);
  const std::pair<std::string, int> rows[] = {  // the list, and whether a beat advances the byte
      {"17\n" + me + "\n99\n", 0}, {"17\n\n" + me, 0}, {me + "0\n1" + me + "\n", 1}, {"", 1}};
  int seq = kiv_sys_get_alive_seq(tid);
  for (const auto& [list, advance] : rows) {
    write_file("/data/.kiv_lib_debug_pid", list);
    EXPECT_EQ(0, kiv_client_reset_thread_notify(tid, tid, 1, 1));
    EXPECT_EQ(seq += advance, kiv_sys_get_alive_seq(tid)) << list;
  }
  EXPECT_TRUE(peer.frames_within(50).empty());
}

}  // namespace
}  // namespace kiv::test
