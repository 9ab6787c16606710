// Exit actions and their withdrawal against a real peer on the control
// socket: the requests byte for byte, the pid database and member files,
// which calls wait for the acknowledgement, and the retry loops.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "kiv_dbg.h"
#include "kiv_rpc.h"
#include "kiv_xtach.h"
#include "kiv_xtach/reg_helpers.h"
#include "support/capture.h"
#include "support/child.h"
#include "support/files.h"
#include "support/fixture.h"
#include "support/log_text.h"
#include "support/peer.h"

namespace kiv::test {
namespace {

class ExitActionTest : public SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    keep_descriptors_matching("socket:");  // the cached control socket
    // Registrations re-read the debug configuration: from a directory
    // without one, so that they neither complain nor change the levels.
    setenv("DATA_TALU_DIR", "/data/.talu", 1);
  }
  void TearDown() override {
    unsetenv("DATA_TALU_DIR");
    SandboxTest::TearDown();
  }
};

std::string db_file(int vsd, int pid) {
  return "/tmp/vsd/" + std::to_string(vsd) + "/kiv/db/" + own_program_name() + "." +
         std::to_string(pid);
}

// Runs fn and prints "name=RESULT name_ms=ELAPSED".
template <typename Fn>
void timed(const char* name, Fn fn) {
  const int64_t start = monotonic_ms();
  const int r = fn();
  printf("%s=%d %s_ms=%lld\n", name, r, name, static_cast<long long>(monotonic_ms() - start));
  fflush(stdout);
}

// A child body that makes one retrying call with the library's log on and
// prints its pid, result and duration.
std::function<int()> attempt(const char* name, int (*call)()) {
  return [=] {
    g_kiv_dbg_level[KIV_DBG_LIB] = 0;
    printf("pid=%d\n", getpid());
    timed(name, call);
    return 0;
  };
}

TEST_F(ExitActionTest, RestartRequestAndLockedPidFile) {
  Peer peer(PeerMode::kAck);
  int gate[2];
  ASSERT_EQ(0, pipe2(gate, O_CLOEXEC));
  next_pid_is(815);
  Child child([&] {
    close(gate[1]);
    timed("ret", [] { return reg_process_exit_action(0, KIV_EXIT_RESTART); });
    char c;
    return static_cast<int>(read(gate[0], &c, 1));
  });
  close(gate[0]);
  ASSERT_EQ(815, child.pid());
  auto f = peer.next_frame();
  ASSERT_TRUE(f);
  EXPECT_EQ(1u, f->type());
  EXPECT_EQ(320, f->len());
  EXPECT_EQ(std::vector<uint8_t>(KIV_MSG_HDR_LEN - 8, 0),
            std::vector<uint8_t>(f->bytes.begin() + 8, f->bytes.begin() + KIV_MSG_HDR_LEN));
  const std::string cmdline = child_cmdline();
  EXPECT_EQ(exit_rec(815, 0, cmdline, ""), f->payload());

  // Written before the request went out, and locked by the registered
  // process for as long as it lives.
  const std::string path = db_file(0, 815);
  EXPECT_EQ("815\n2\n" + cmdline, read_file(path));
  EXPECT_EQ(815, lock_holder(path));
  EXPECT_FALSE(wait_for_file("/tmp/vsd/0/kiv/815", 0));  // no member file on the host
  close(gate[1]);
  ChildResult r = child.wait();
  EXPECT_EQ(0, value_of(r.output, "ret"));
  EXPECT_EQ(0, lock_holder(path));
  EXPECT_TRUE(peer.frames_within(100).empty());
}

TEST_F(ExitActionTest, RegisteringAnotherProcessLocksItsFileForTheCaller) {
  Peer peer(PeerMode::kAck);
  Child target([] {
    pause();
    return 0;
  });
  const pid_t pid = target.pid();
  int gate[2];
  ASSERT_EQ(0, pipe2(gate, O_CLOEXEC));
  Child caller([&] {
    close(gate[1]);
    printf("ret=%d\n", reg_process_exit_action(pid, 7));
    fflush(stdout);
    char c;
    return static_cast<int>(read(gate[0], &c, 1));
  });
  close(gate[0]);
  auto f = peer.next_frame();
  ASSERT_TRUE(f);
  EXPECT_EQ(7u, f->type());
  EXPECT_EQ(exit_rec(pid, 0, child_cmdline(), ""), f->payload());
  const std::string path = db_file(0, pid);
  EXPECT_EQ(std::to_string(pid) + "\n3\n" + child_cmdline(), read_file(path));
  EXPECT_EQ(caller.pid(), lock_holder(path));
  close(gate[1]);
  EXPECT_EQ(0, value_of(caller.wait().output, "ret"));
}

TEST_F(ExitActionTest, ShellAndTimeRequests) {
  Peer peer(PeerMode::kSilent);  // neither call waits for an answer
  next_pid_is(815);
  ChildResult r = run_in_child([] {
    timed("shell", [] { return reg_process_exit_action_shell(0, 2, "/etc/cmdmap/app.sh"); });
    return 0;
  });
  EXPECT_EQ(0, value_of(r.output, "shell")) << r.output;
  EXPECT_LT(value_of(r.output, "shell_ms"), 300);
  auto f = peer.next_frame();
  ASSERT_TRUE(f);
  EXPECT_EQ(2u, f->type());
  EXPECT_EQ("/etc/cmdmap/app.sh", f->name());
  const std::string cmdline = child_cmdline();
  EXPECT_EQ(exit_rec(815, 0, cmdline, "test-15"), f->payload());
  EXPECT_EQ("815\n3\n" + cmdline, read_file(db_file(0, 815)));

  // A time value names any pid and reads nothing about it.
  EXPECT_EQ(0, kiv_time_set(815, 9, 123456));
  f = peer.next_frame();
  ASSERT_TRUE(f);
  EXPECT_EQ(9u, f->type());
  EXPECT_EQ("", f->name());
  EXPECT_EQ(exit_rec(815, 0, "", "test-15", 123456), f->payload());
  EXPECT_EQ(0, kiv_time_set(0, 3, 7));
  f = peer.next_frame();
  ASSERT_TRUE(f);
  EXPECT_EQ(exit_rec(getpid(), 0, "", "test-" + std::to_string(getpid() % 20), 7), f->payload());

  // A process whose command line can't be read is still registered, with
  // an empty field and without a database file.
  g_kiv_dbg_level[KIV_DBG_LIB] = 0;
  std::string out = capture_stdout([] { EXPECT_EQ(0, reg_process_exit_action_shell(20, 2, nullptr)); });
  g_kiv_dbg_level[KIV_DBG_LIB] = KIV_DBG_OFF;
  EXPECT_NE(std::string::npos,
            out.find("]reg_process_exit_action_shell: pid 20 type 2 vsd 0 path (null)\n"))
      << out;
  EXPECT_NE(std::string::npos,
            out.find("]reg_process_exit_action_shell: fail to get pid 20's cmdline\n"))
      << out;
  f = peer.next_frame();
  ASSERT_TRUE(f);
  EXPECT_EQ("", f->name());
  EXPECT_EQ(exit_rec(20, 0, "", "test-0"), f->payload());
  EXPECT_EQ("", read_file(db_file(0, 20)));
}

TEST_F(ExitActionTest, RegistrationsReReadTheDebugConfiguration) {
  Peer peer(PeerMode::kAck);
  ASSERT_EQ(0, system("mkdir -p /data/.talu/qn_utils"));
  write_file("/data/.talu/qn_utils/qn_utils_dbg_cfg.txt", "g_kiv_lib_dbg_level 0\n");
  std::string out = capture_stdout([] { EXPECT_EQ(0, kiv_time_set(815, 1, 1)); });
  EXPECT_EQ("", out);  // a time value reads no configuration
  EXPECT_EQ(KIV_DBG_OFF, g_kiv_dbg_level[KIV_DBG_LIB]);
  out = capture_stdout([] { EXPECT_EQ(0, reg_process_exit_action_shell(20, 2, "/bin/x")); });
  EXPECT_EQ(0, g_kiv_dbg_level[KIV_DBG_LIB]);
  EXPECT_EQ(0u, without_line_numbers(out).find(
                    "[KIV:kiv_xtach:N]reg_process_exit_action_shell: pid 20 type 2 vsd 0 path /bin/x\n"))
      << out;
  EXPECT_EQ(2u, peer.frames_within(200).size());
}

TEST_F(ExitActionTest, KeywordChoosesTheType) {
  Peer peer(PeerMode::kAck);
  ChildResult r = run_in_child([] {
    const char* words[] = {"KIV_RESTART", "KIV_RESTART_AND_MORE", "KIV_SHELL_RESTART",
                           "kiv_restart", "KIV_SHELL",            "KIV_RESTAR",
                           "",            nullptr};
    for (const char* w : words) printf("%d,", reg_third_part_process_exit_action(0, w));
    printf("\npid=%d\n", getpid());
    return 0;
  });
  EXPECT_EQ("0,0,0,-1,-1,-1,-1,-1,\n", r.output.substr(0, r.output.find('\n') + 1));
  const int pid = static_cast<int>(value_of(r.output, "pid"));
  auto frames = peer.frames_within(200);
  ASSERT_EQ(3u, frames.size());
  const uint32_t types[] = {1, 1, 2};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(types[i], frames[i].type());
    EXPECT_EQ("", frames[i].name());  // the shell keyword sends no path
    EXPECT_EQ(exit_rec(pid, 0, child_cmdline(), ""), frames[i].payload());
  }
  EXPECT_EQ(std::to_string(pid) + "\n3\n" + child_cmdline(), read_file(db_file(0, pid)));
}

TEST_F(ExitActionTest, NegativePidSendsNothing) {
  Peer peer(PeerMode::kAck);
  g_kiv_dbg_level[KIV_DBG_LIB] = 0;
  const int64_t start = monotonic_ms();
  std::string out = capture_stdout([] {
    EXPECT_EQ(-1, reg_process_exit_action(-5, 1));
    EXPECT_EQ(-1, reg_process_exit_action_shell(-5, 2, "/bin/x"));
    EXPECT_EQ(-1, reg_third_part_process_exit_action(-5, "KIV_RESTART"));
    EXPECT_EQ(-1, kiv_time_set(-5, 1, 1));
    EXPECT_EQ(-1, kiv_cancel_proc(-5));
  });
  EXPECT_LT(monotonic_ms() - start, 500);
  EXPECT_EQ(
      "[KIV:kiv_xtach:N]The pid you enter is < 0 \n"
      "[KIV:kiv_xtach:N]The pid you enter is < 0 \n"
      "[KIV:kiv_xtach:N]The pid you enter is < 0 \n"
      "[KIV:kiv_xtach:N]The pid you enter is < 0 \n"
      "[KIV:kiv_rpc:N]kiv_cancel_proc:-5\n"
      "[KIV:kiv_rpc:N]The pid you enter is -5 < 0 \n",
      without_line_numbers(out));
  EXPECT_EQ(0, peer.connections(100));
}

TEST_F(ExitActionTest, VsdMemberRegistersAndCancels) {
  ASSERT_EQ(0, system("mkdir -p /tmp/vsd/1/kiv/db"));
  Peer peer(PeerMode::kAck);
  ChildResult r = run_in_child([] {
    const gid_t groups[] = {3100, 3200};
    if (setgroups(2, groups) != 0) return 3;
    printf("pid=%d\n", getpid());
    timed("reg", [] { return reg_process_exit_action(0, KIV_EXIT_RESTART); });
    char db[256];
    snprintf(db, sizeof db, "/tmp/vsd/1/kiv/db/%s.%d", own_program_name().c_str(), getpid());
    printf("db_before=%d\n", access(db, F_OK) == 0);
    timed("cancel", [] { return kiv_cancel_proc(0); });
    printf("db_after=%d\n", access(db, F_OK) == 0);
    return 0;
  });
  ASSERT_TRUE(r.exited(0)) << r.output;
  const int pid = static_cast<int>(value_of(r.output, "pid"));
  EXPECT_EQ(0, value_of(r.output, "reg"));
  EXPECT_EQ(1, value_of(r.output, "db_before"));
  EXPECT_EQ(0, value_of(r.output, "cancel"));
  EXPECT_EQ(0, value_of(r.output, "db_after"));
  // The pause after the withdrawal comes even when it succeeds at once.
  EXPECT_GE(value_of(r.output, "cancel_ms"), 1000);
  EXPECT_LT(value_of(r.output, "cancel_ms"), 1800);
  auto frames = peer.frames_within(200);
  ASSERT_EQ(2u, frames.size());
  EXPECT_EQ(1u, frames[0].type());
  EXPECT_EQ(exit_rec(pid, 1, child_cmdline(), ""), frames[0].payload());
  EXPECT_EQ(5u, frames[1].type());
  EXPECT_EQ("", frames[1].name());
  EXPECT_EQ(cancel_req(KIV_CANCEL_PROCESS, pid), frames[1].payload());
  struct stat st;
  ASSERT_EQ(0, stat(("/tmp/vsd/1/kiv/" + std::to_string(pid)).c_str(), &st));  // member file stays
  EXPECT_EQ(0, st.st_size);
}

TEST_F(ExitActionTest, WhichCallsWaitForTheAcknowledgement) {
  Peer peer(PeerMode::kLateAck, 500);
  // The calls that wait come first: a late answer to a call that did not
  // wait would otherwise end a later call's wait early.
  ChildResult r = run_in_child([] {
    const int pid = getpid(), tid = own_tid();
    timed("reg", [] { return reg_process_exit_action(0, 1); });
    timed("thread", [&] { return kiv_client_reg_thread_notify(pid, tid, 1, 1); });
    timed("unreg", [&] { return kiv_client_unreg_thread_notify(tid); });
    timed("cancel", [] { return kiv_cancel_proc(0); });
    timed("shell", [] { return reg_process_exit_action_shell(0, 2, "/bin/x"); });
    timed("time", [] { return kiv_time_set(0, 1, 5); });
    return 0;
  });
  for (const char* name : {"reg", "thread", "unreg", "cancel", "shell", "time"}) {
    EXPECT_EQ(0, value_of(r.output, name)) << name << "\n" << r.output;
  }
  for (const char* name : {"reg_ms", "thread_ms", "unreg_ms"}) {
    EXPECT_GE(value_of(r.output, name), 450) << name;
    EXPECT_LT(value_of(r.output, name), 1500) << name;
  }
  EXPECT_GE(value_of(r.output, "cancel_ms"), 1450);
  EXPECT_LT(value_of(r.output, "shell_ms"), 250);
  EXPECT_LT(value_of(r.output, "time_ms"), 250);
  EXPECT_EQ(6u, peer.frames_within(200).size());
}

TEST_F(ExitActionTest, RetriesUntilTheManagerAppears) {
  // Every connect fails at once until the peer is there.
  block_manager_socket();
  Child reg(attempt("reg", [] { return reg_process_exit_action(0, 1); }));
  Child cancel(attempt("cancel", [] { return kiv_cancel_proc(0); }));
  Child thread(attempt("thread", [] { return kiv_client_reg_thread_notify(getpid(), own_tid(), 1, 1); }));
  usleep(1500 * 1000);
  remove_tree("/tmp/kiv");
  Peer peer(PeerMode::kAck);
  ChildResult rr = reg.wait(), rc = cancel.wait(), rt = thread.wait();
  // Attempts at 0 s, 1 s and 2 s: the third finds the peer.
  EXPECT_EQ(0, value_of(rr.output, "reg")) << rr.output;
  EXPECT_EQ(0, value_of(rc.output, "cancel")) << rc.output;
  EXPECT_EQ(0, value_of(rt.output, "thread")) << rt.output;
  for (const auto* out : {&rr.output, &rc.output, &rt.output}) {
    EXPECT_EQ(2, count_of(*out, "kiv_connect: connect fail(ret:-1)\n")) << *out;
  }
  EXPECT_GE(value_of(rr.output, "reg_ms"), 1500);
  EXPECT_LT(value_of(rr.output, "reg_ms"), 2900);
  EXPECT_GE(value_of(rc.output, "cancel_ms"), 2500);  // and the pause after success
  EXPECT_LT(value_of(rc.output, "cancel_ms"), 3900);
  EXPECT_NE(std::string::npos, rc.output.find("kiv_cancel_proc:0\n"));
  auto frames = peer.frames_within(200);
  ASSERT_EQ(3u, frames.size());
  std::vector<uint32_t> types;
  for (const auto& f : frames) types.push_back(f.type());
  std::sort(types.begin(), types.end());
  EXPECT_EQ((std::vector<uint32_t>{1, 3, 5}), types);
}

TEST_F(ExitActionTest, ExitMarkerEndsTheLoopsAtOnce) {
  Peer peer(PeerMode::kAck);
  write_file(KIV_STATUS_FILE);
  ChildResult r = run_in_child([] {
    timed("reg", [] { return reg_process_exit_action(0, 1); });
    timed("thread", [] { return kiv_client_reg_thread_notify(getpid(), own_tid(), 2, 2); });
    timed("cancel", [] { return kiv_cancel_proc(0); });
    return 0;
  });
  EXPECT_EQ(0, value_of(r.output, "reg")) << r.output;
  EXPECT_EQ(0, value_of(r.output, "thread"));
  EXPECT_EQ(0, value_of(r.output, "cancel"));
  EXPECT_LT(value_of(r.output, "reg_ms"), 300);
  EXPECT_LT(value_of(r.output, "thread_ms"), 300);
  EXPECT_GE(value_of(r.output, "cancel_ms"), 1000);
  EXPECT_LT(value_of(r.output, "cancel_ms"), 1300);
  EXPECT_EQ(0, peer.connections(100));
}

// Thirty attempts of one second each: the three retrying calls side by
// side, against a peer that hangs up on every request.
TEST_F(ExitActionTest, ThirtyFailedAttempts) {
  Peer peer(PeerMode::kClose);
  Child reg(attempt("reg", [] { return reg_process_exit_action(0, 1); }));
  Child cancel(attempt("cancel", [] { return kiv_cancel_proc(0); }));
  Child thread(attempt("thread", [] { return kiv_client_reg_thread_notify(getpid(), own_tid(), 1, 1); }));
  ChildResult rr = reg.wait(), rc = cancel.wait(), rt = thread.wait();
  EXPECT_EQ(0, value_of(rr.output, "reg"));  // a registration never reports failure
  EXPECT_EQ(-1, value_of(rc.output, "cancel"));
  EXPECT_EQ(-1, value_of(rt.output, "thread"));
  for (const auto* out : {&rr.output, &rc.output, &rt.output}) {
    EXPECT_EQ(30, count_of(*out, "kiv_rpc: recv ack err(")) << *out;
  }
  EXPECT_EQ(1, count_of(rc.output, "]kiv_cancel_proc: cancel fail: ")) << rc.output;
  EXPECT_EQ(1, count_of(rt.output, "]reg thread notify err(ret:-1)!\n")) << rt.output;
  for (const char* name : {"reg_ms", "cancel_ms", "thread_ms"}) {
    const auto* out = name[0] == 'r' ? &rr.output : name[0] == 'c' ? &rc.output : &rt.output;
    EXPECT_GE(value_of(*out, name), 30000) << name;
    EXPECT_LT(value_of(*out, name), 33000) << name;
  }
  int per_type[6] = {};
  for (const auto& f : peer.frames_within(200)) ++per_type[f.type() % 6];
  EXPECT_EQ(30, per_type[1]);
  EXPECT_EQ(30, per_type[3]);
  EXPECT_EQ(30, per_type[5]);
}

}  // namespace
}  // namespace kiv::test
