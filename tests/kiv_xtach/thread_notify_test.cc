// The thread watchdog against a real peer and the real alive table, the
// test itself playing the Manager's part in the table: registration
// records and presets, the argument rules, the heartbeat's three paths
// (table, debug list, message), and its system calls under strace.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "kiv_dbg.h"
#include "kiv_rpc.h"
#include "kiv_sys_alive.h"
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

constexpr char kDebugList[] = "/data/.kiv_lib_debug_pid";

class ThreadNotifyTest : public SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    keep_descriptors_matching("socket:");  // the cached control socket
    // Registrations re-read the debug configuration: from a directory
    // without one, so that they neither complain nor change the levels.
    setenv("DATA_TALU_DIR", "/data/.talu", 1);
    pid_ = getpid();
    tid_ = own_tid();
  }
  void TearDown() override {
    unsetenv("DATA_TALU_DIR");
    SandboxTest::TearDown();
  }

  // As the Manager does once it has accepted the thread's registration.
  void register_in_table(int id) {
    ASSERT_EQ(0, kiv_sys_init_alive_info(1));
    ASSERT_EQ(0, kiv_sys_reg_alive_info(id));
    ASSERT_EQ(1, kiv_sys_get_alive_seq(id));
  }

  int beat() { return kiv_client_reset_thread_notify(pid_, tid_, 1, 1); }

  int pid_ = 0;
  int tid_ = 0;
};

TEST_F(ThreadNotifyTest, RegistrationRecordsPresetsAndWithdrawal) {
  Peer peer(PeerMode::kAck);
  EXPECT_EQ(0, kiv_client_reg_thread_notify(pid_, tid_, 1, 1));
  EXPECT_EQ(0, kiv_client_reg_thread_notify(pid_, tid_, 3, 1000));
  EXPECT_EQ(0, kiv_client_reg_thread_notify(pid_, tid_, 2, 1));
  EXPECT_EQ(0, kiv_client_reg_thread_notify(pid_, tid_, -2, -7));
  EXPECT_EQ(0, kiv_client_unreg_thread_notify(tid_));
  EXPECT_EQ(0, kiv_client_unreg_thread_notify(4242));  // any thread id may be withdrawn
  EXPECT_EQ(-1, kiv_client_unreg_thread_notify(0));
  auto frames = peer.frames_within(200);
  ASSERT_EQ(6u, frames.size());
  const auto odd = thread_rec(pid_, tid_, 4, 180), even = thread_rec(pid_, tid_, 5, 120);
  const std::vector<uint8_t> want[] = {odd, odd, even, even, cancel_req(1, tid_), cancel_req(1, 4242)};
  for (size_t i = 0; i < 6; ++i) {
    EXPECT_EQ(i < 4 ? 3u : 5u, frames[i].type()) << i;
    EXPECT_EQ("", frames[i].name()) << i;
    EXPECT_EQ(want[i], frames[i].payload()) << i;
  }
  // Withdrawal reports success whatever became of the request.
  peer.stop();
  block_manager_socket();
  const int64_t start = monotonic_ms();
  EXPECT_EQ(0, kiv_client_unreg_thread_notify(tid_));
  EXPECT_LT(monotonic_ms() - start, 300);
}

TEST_F(ThreadNotifyTest, ArgumentRules) {
  Peer peer(PeerMode::kAck);
  int other = 0;
  bool done = false;
  std::mutex m;
  std::condition_variable cv;
  std::thread t([&] {
    std::unique_lock<std::mutex> lock(m);
    other = own_tid();
    cv.notify_all();
    cv.wait(lock, [&] { return done; });
  });
  {
    std::unique_lock<std::mutex> lock(m);
    cv.wait(lock, [&] { return other != 0; });
  }
  unsetenv("DATA_TALU_DIR");
  g_kiv_dbg_level[KIV_DBG_LIB] = 0;
  const int p = pid_, i = tid_;
  std::string expected;
  auto param = [&](int a, int b, int c, int d) {
    char line[160];
    snprintf(line, sizeof line,
             "[KIV:kiv_xtach:N]parameter error(pid:%d, tid:%d, time:%d, count:%d)!\n", a, b, c, d);
    return std::string(line);
  };
  auto not_own = [&](int a, int b) {
    char line[160];
    snprintf(line, sizeof line,
             "[KIV:kiv_xtach:N]not cur task reg!(pid:%d, tid:%d, cur_pid:%d, cur_tid:%d)!\n", a, b,
             p, i);
    return std::string(line);
  };
  const int cases[][4] = {{0, i, 1, 1}, {-3, i, 1, 1}, {p, 0, 1, 1}, {p, i, 0, 1}, {p, i, 1, 0}};
  std::string out = capture_stdout([&] {
    for (auto fn : {kiv_client_reg_thread_notify, kiv_client_reset_thread_notify}) {
      for (const auto& c : cases) EXPECT_EQ(-1, fn(c[0], c[1], c[2], c[3]));
      EXPECT_EQ(-1, fn(p, other, 1, 1));  // another thread of this process
      EXPECT_EQ(-1, fn(p + 1, i, 1, 1));  // another process
    }
  });
  g_kiv_dbg_level[KIV_DBG_LIB] = KIV_DBG_OFF;
  // The registration re-reads the debug configuration first (and, with no
  // DATA_TALU_DIR here, says so); the heartbeat does not.
  const std::string reread =
      "[KIV]<kiv_comp_config, kiv_make_vsd_data_talu_path, N>:get DATA_TALU_DIR fail!\r\n";
  for (int round = 0; round < 2; ++round) {
    const std::string pre = round == 0 ? reread : "";
    for (const auto& c : cases) expected += pre + param(c[0], c[1], c[2], c[3]);
    expected += pre + not_own(p, other) + pre + not_own(p + 1, i);
  }
  EXPECT_EQ(expected, without_line_numbers(out));
  EXPECT_EQ(0, peer.connections(100));
  {
    std::lock_guard<std::mutex> lock(m);
    done = true;
  }
  cv.notify_all();
  t.join();
}

TEST_F(ThreadNotifyTest, NoProcIgnoresAbortForGood) {
  Peer peer(PeerMode::kAck);
  ChildResult r = run_in_child([] {
    printf("refused=%d\n", kiv_client_reg_thread_notify_no_proc(0, 0, 0, 0));
    struct sigaction sa;
    sigaction(SIGABRT, nullptr, &sa);
    printf("ignored=%d\n", sa.sa_handler == SIG_IGN);
    fflush(stdout);
    kill(getpid(), SIGABRT);  // from outside the thread: no longer fatal
    printf("pid=%d\n", getpid());
    printf("reg=%d\n", kiv_client_reg_thread_notify_no_proc(getpid(), own_tid(), 2, 5));
    return 0;
  });
  ASSERT_TRUE(r.exited(0)) << r.output;
  EXPECT_EQ(-1, value_of(r.output, "refused"));
  EXPECT_EQ(1, value_of(r.output, "ignored"));
  EXPECT_EQ(0, value_of(r.output, "reg"));
  const int pid = static_cast<int>(value_of(r.output, "pid"));
  auto frames = peer.frames_within(200);
  ASSERT_EQ(1u, frames.size());
  EXPECT_EQ(3u, frames[0].type());
  EXPECT_EQ(thread_rec(pid, pid, 5, 120), frames[0].payload());
}

TEST_F(ThreadNotifyTest, HeartbeatOfARegisteredThreadStaysInSharedMemory) {
  Peer peer(PeerMode::kAck);
  register_in_table(tid_);
  for (int n = 0; n < 3; ++n) EXPECT_EQ(0, beat());
  EXPECT_EQ(4, kiv_sys_get_alive_seq(tid_));
  g_kiv_alive_info.table->alive_seq[tid_] = 254;
  EXPECT_EQ(0, beat());
  EXPECT_EQ(255, kiv_sys_get_alive_seq(tid_));
  EXPECT_EQ(0, beat());
  EXPECT_EQ(1, kiv_sys_get_alive_seq(tid_));  // never 0 while registered
  EXPECT_EQ(0, peer.connections(100));

  // Once the Manager has cleared the entry, a beat is a registration again.
  ASSERT_EQ(0, kiv_sys_unreg_alive_info(tid_));
  g_kiv_dbg_level[KIV_DBG_LIB] = 0;
  std::string out = capture_stdout([&] { EXPECT_EQ(0, beat()); });
  g_kiv_dbg_level[KIV_DBG_LIB] = KIV_DBG_OFF;
  char line[128];
  snprintf(line, sizeof line, "[KIV:kiv_xtach:N]reg alive info(pid:%d, tid:%d, time:1, count:1)!\n",
           pid_, tid_);
  EXPECT_EQ(0u, without_line_numbers(out).find(line)) << out;
  EXPECT_EQ(0, kiv_sys_get_alive_seq(tid_));
  auto frames = peer.frames_within(200);
  ASSERT_EQ(1u, frames.size());
  EXPECT_EQ(3u, frames[0].type());
  EXPECT_EQ(thread_rec(pid_, tid_, 4, 180), frames[0].payload());
}

TEST_F(ThreadNotifyTest, DebugListSilencesListedThreads) {
  Peer peer(PeerMode::kAck);
  register_in_table(tid_);
  const std::string me = std::to_string(tid_);
  struct Case {
    std::string text;
    bool silenced;
  };
  const Case cases[] = {
      {"17\n" + me + "\n99\n", true},
      {"17\n\n" + me, true},  // the last line needs no line feed
      {me + "0\n1" + me + "\n", false},
      {"", false},
  };
  int seq = kiv_sys_get_alive_seq(tid_);
  for (const auto& c : cases) {
    write_file(kDebugList, c.text);
    EXPECT_EQ(0, beat());
    if (!c.silenced) seq = seq == 255 ? 1 : seq + 1;
    EXPECT_EQ(seq, kiv_sys_get_alive_seq(tid_)) << c.text;
  }
  // A list that can't be read is an empty one.
  ASSERT_EQ(0, unlink(kDebugList));
  ASSERT_EQ(0, mkdir(kDebugList, 0755));
  EXPECT_EQ(0, beat());
  EXPECT_EQ(seq + 1, kiv_sys_get_alive_seq(tid_));
  ASSERT_EQ(0, rmdir(kDebugList));

  // A listed thread that is not registered sends nothing either.
  ASSERT_EQ(0, kiv_sys_unreg_alive_info(tid_));
  write_file(kDebugList, me + "\n");
  EXPECT_EQ(0, beat());
  EXPECT_EQ(0, kiv_sys_get_alive_seq(tid_));
  EXPECT_EQ(0, peer.connections(100));
}

TEST_F(ThreadNotifyTest, ThreadsBeyondTheTableBeatByMessage) {
  Peer peer(PeerMode::kSilent);  // the beat waits for no answer
  auto beat_far = [] {
    const int64_t start = monotonic_ms();
    printf("beat=%d\n", kiv_client_reset_thread_notify(getpid(), own_tid(), 2, 1));
    printf("ms=%lld\n", static_cast<long long>(monotonic_ms() - start));
    printf("pid=%d\n", getpid());
    return 0;
  };
  next_pid_is(KIV_ALIVE_PID_MAX + 6);
  ChildResult r = run_in_child(beat_far);
  EXPECT_EQ(KIV_ALIVE_PID_MAX + 6, value_of(r.output, "pid"));
  EXPECT_EQ(0, value_of(r.output, "beat"));
  EXPECT_LT(value_of(r.output, "ms"), 300);
  auto frames = peer.frames_within(200);
  ASSERT_EQ(1u, frames.size());
  EXPECT_EQ(4u, frames[0].type());
  EXPECT_EQ("", frames[0].name());
  const int far = KIV_ALIVE_PID_MAX + 6;
  EXPECT_EQ(thread_rec(far, far, 5, 120), frames[0].payload());

  // With no Manager to be reached the beat still succeeds.
  peer.stop();
  block_manager_socket();
  r = run_in_child(beat_far);
  EXPECT_EQ(0, value_of(r.output, "beat")) << r.output;
  EXPECT_LT(value_of(r.output, "ms"), 300);
  next_pid_is(3000);  // later tests' children below the table's limit again
}

TEST_F(ThreadNotifyTest, EachThreadAndForkedChildBeatsWithItsOwnIds) {
  Peer peer(PeerMode::kAck);
  register_in_table(tid_);
  ASSERT_EQ(0, beat());  // this thread's ids are known from here on
  const int parent = pid_;
  // Whatever made the child, its first call knows it by its own ids.
  for (ForkKind kind : {ForkKind::kFork, ForkKind::kUnderscoreFork, ForkKind::kClone}) {
    SCOPED_TRACE(fork_kind_name(kind));
    ChildResult r = Child(
        [parent] {
          g_kiv_dbg_level[KIV_DBG_LIB] = 0;
          const int me = getpid();
          printf("reg=%d\n", kiv_client_reg_thread_notify(me, me, 1, 1));
          if (kiv_sys_reg_alive_info(me) != 0) return 3;
          printf("own=%d\n", kiv_client_reset_thread_notify(me, me, 1, 1));
          printf("seq=%d\n", kiv_sys_get_alive_seq(me));
          printf("parent=%d\n", kiv_client_reset_thread_notify(parent, parent, 1, 1));
          kiv_sys_unreg_alive_info(me);
          return 0;
        },
        false, kind).wait();
    ASSERT_TRUE(r.exited(0)) << r.output;
    EXPECT_EQ(0, value_of(r.output, "reg")) << r.output;
    EXPECT_EQ(0, value_of(r.output, "own")) << r.output;
    EXPECT_EQ(2, value_of(r.output, "seq"));
    EXPECT_EQ(-1, value_of(r.output, "parent"));
    EXPECT_NE(std::string::npos, r.output.find("not cur task reg!(pid:" + std::to_string(parent)))
        << r.output;
  }
  EXPECT_EQ(3, peer.connections(100));  // one registration from each child
  // Another thread of this process beats for itself, and only for itself.
  int other_tid = 0, other_beat = 0, other_as_main = 0;
  std::thread t([&] {
    other_tid = own_tid();
    (void)kiv_sys_reg_alive_info(other_tid);
    other_beat = kiv_client_reset_thread_notify(parent, other_tid, 1, 1);
    other_as_main = kiv_client_reset_thread_notify(parent, parent, 1, 1);
  });
  t.join();
  EXPECT_EQ(0, other_beat);
  EXPECT_EQ(-1, other_as_main);
  EXPECT_EQ(2, kiv_sys_get_alive_seq(other_tid));
  (void)kiv_sys_unreg_alive_info(other_tid);
  EXPECT_EQ(3, peer.connections(100));
  EXPECT_EQ(0, beat());  // the parent's own ids still hold
  EXPECT_EQ(3, kiv_sys_get_alive_seq(tid_));
  (void)kiv_sys_unreg_alive_info(tid_);
}

// The steady-state heartbeat makes one system call, the access() of the
// debug list: traced with strace, between two markers of the beating
// thread.
TEST_F(ThreadNotifyTest, HeartbeatMakesOnlyTheListAccess) {
  if (access("/usr/bin/strace", X_OK) != 0) GTEST_SKIP() << "strace is not installed";
  constexpr int kBeats = 1000;
  const std::string trace = "/tmp/beat.trace";
  const std::string beater = std::string(KIV_TEST_BIN_DIR) + "/reg_beater";
  ChildResult r = run_in_child([&] {
    // The leak checker cannot run under ptrace; the beats are what is traced.
    setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
    execl("/usr/bin/strace", "strace", "-f", "-qq", "-o", trace.c_str(), beater.c_str(),
          std::to_string(kBeats).c_str(), static_cast<char*>(nullptr));
    return 127;
  });
  ASSERT_TRUE(r.exited(0)) << r.output;
  const int tid = static_cast<int>(value_of(r.output, "tid"));
  EXPECT_EQ(0, value_of(r.output, "bad")) << r.output;
  EXPECT_EQ((kBeats + 2) % 255 + 1, value_of(r.output, "seq"));

  std::istringstream in(read_file(trace));
  std::string line;
  const std::string prefix = std::to_string(tid) + " ";
  int state = 0, accesses = 0;
  std::vector<std::string> others;
  while (std::getline(in, line)) {
    if (line.rfind(prefix, 0) != 0) continue;
    const std::string call = line.substr(line.find_first_not_of(' ', prefix.size()));
    if (call.find("\"kiv-beat-begin\"") != std::string::npos) {
      state = 1;
    } else if (call.find("\"kiv-beat-end\"") != std::string::npos) {
      state = 2;
    } else if (state == 1) {
      if (call.rfind("access(\"/data/.kiv_lib_debug_pid\", F_OK) = -1 ENOENT", 0) == 0) {
        ++accesses;
      } else {
        others.push_back(call);
      }
    }
  }
  ASSERT_EQ(2, state) << "markers not found in the trace";
  EXPECT_EQ(kBeats, accesses);
  EXPECT_TRUE(others.empty()) << others.size() << " other calls, the first: " << others[0];
}

}  // namespace
}  // namespace kiv::test
