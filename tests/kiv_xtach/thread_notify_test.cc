// The thread watchdog against a real peer and the real alive table, the test
// playing the Manager's part in the table: the argument rules, the
// heartbeat's paths (table, debug list, registration) and its system calls
// under strace. The requests themselves: exit_action_test.cc.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "kiv_sys_alive.h"
#include "kiv_xtach.h"
#include "kiv_xtach/reg_helpers.h"
#include "support/child.h"
#include "support/files.h"
#include "support/fixture.h"
#include "support/peer.h"

namespace kiv::test {
namespace {

constexpr char kDebugList[] = "/data/.kiv_lib_debug_pid";

class ThreadNotifyTest : public SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    keep_descriptors_matching("socket:");  // the cached control socket
    setenv("DATA_TALU_DIR", "/data/.talu", 1);  // no debug configuration there
  }
  void TearDown() override {
    unsetenv("DATA_TALU_DIR");
    SandboxTest::TearDown();
  }
  // As the Manager does once it has accepted the thread's registration.
  void register_in_table(int id) {
    ASSERT_EQ(0, kiv_sys_init_alive_info(1));
    ASSERT_EQ(0, kiv_sys_reg_alive_info(id));
  }
  int beat() { return kiv_client_reset_thread_notify(pid_, tid_, 1, 1); }

  const int pid_ = getpid();
  const int tid_ = own_tid();
};

TEST_F(ThreadNotifyTest, ArgumentRules) {
  Peer peer(PeerMode::kAck);
  int other = 0;  // another thread of this process
  std::thread([&] { other = own_tid(); }).join();
  const int p = pid_, t = tid_;
  const int cases[][4] = {{0, t, 1, 1}, {-3, t, 1, 1}, {p, 0, 1, 1},     {p, t, 0, 1},
                          {p, t, 1, 0}, {p, other, 1, 1}, {p + 1, t, 1, 1}};
  for (auto fn : {kiv_client_reg_thread_notify, kiv_client_reset_thread_notify}) {
    for (const auto& c : cases) EXPECT_EQ(-1, fn(c[0], c[1], c[2], c[3])) << c[0] << " " << c[1] << " " << c[2];
  }
  EXPECT_TRUE(peer.frames_within(100).empty());
}

TEST_F(ThreadNotifyTest, NoProcIgnoresAbortForGood) {
  Peer peer(PeerMode::kAck);
  ChildResult r = run_in_child([] {
    const int refused = kiv_client_reg_thread_notify_no_proc(0, 0, 0, 0);
    kill(getpid(), SIGABRT);  // from outside the thread: no longer fatal
    printf("refused=%d\nreg=%d\npid=%d\n", refused, kiv_client_reg_thread_notify_no_proc(getpid(), own_tid(), 2, 5),
           getpid());
    return 0;
  });
  ASSERT_TRUE(r.exited(0)) << r.output;
  EXPECT_EQ(-1, value_of(r.output, "refused"));
  EXPECT_EQ(0, value_of(r.output, "reg"));
  const int pid = static_cast<int>(value_of(r.output, "pid"));
  const auto f = peer.next_frame();
  ASSERT_TRUE(f);
  EXPECT_EQ(thread_rec(pid, pid, 5, 120), f->payload());
}

TEST_F(ThreadNotifyTest, HeartbeatOfARegisteredThreadStaysInSharedMemory) {
  Peer peer(PeerMode::kAck);
  register_in_table(tid_);
  for (int n = 0; n < 3; ++n) EXPECT_EQ(0, beat());
  EXPECT_EQ(4, kiv_sys_get_alive_seq(tid_));
  g_kiv_alive_info.table->alive_seq[tid_] = 254;
  EXPECT_EQ(0, beat());
  EXPECT_EQ(0, beat());
  EXPECT_EQ(1, kiv_sys_get_alive_seq(tid_));  // 255, then never 0 while registered
  EXPECT_TRUE(peer.frames_within(50).empty());
  // Once the Manager has cleared the entry, a beat is a registration again.
  ASSERT_EQ(0, kiv_sys_unreg_alive_info(tid_));
  EXPECT_EQ(0, beat());
  EXPECT_EQ(0, kiv_sys_get_alive_seq(tid_));
  const auto frames = peer.frames_within(200);
  ASSERT_EQ(1u, frames.size());
  EXPECT_EQ(3u, frames[0].type());
  EXPECT_EQ(thread_rec(pid_, tid_, 4, 180), frames[0].payload());
}

TEST_F(ThreadNotifyTest, DebugListSilencesListedThreads) {
  Peer peer(PeerMode::kAck);
  register_in_table(tid_);
  const std::string me = std::to_string(tid_);
  const struct {
    std::string text;
    int advance;
  } rows[] = {
      {"17\n" + me + "\n99\n", 0},
      {"17\n\n" + me, 0},  // the last line needs no line feed
      {me + "0\n1" + me + "\n", 1},
      {"", 1},
  };
  int seq = kiv_sys_get_alive_seq(tid_);
  for (const auto& r : rows) {
    write_file(kDebugList, r.text);
    EXPECT_EQ(0, beat());
    EXPECT_EQ(seq += r.advance, kiv_sys_get_alive_seq(tid_)) << r.text;
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
  EXPECT_TRUE(peer.frames_within(100).empty());
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
                          const int me = getpid();
                          printf("reg=%d\n", kiv_client_reg_thread_notify(me, me, 1, 1));
                          if (kiv_sys_reg_alive_info(me) != 0) return 3;
                          printf("own=%d\n", kiv_client_reset_thread_notify(me, me, 1, 1));
                          printf("seq=%d\n", kiv_sys_get_alive_seq(me));
                          printf("parent=%d\n", kiv_client_reset_thread_notify(parent, parent, 1, 1));
                          (void)kiv_sys_unreg_alive_info(me);
                          return 0;
                        },
                        false, kind)
                        .wait();
    ASSERT_TRUE(r.exited(0)) << r.output;
    EXPECT_EQ("reg=0\nown=0\nseq=2\nparent=-1\n", r.output);
  }
  EXPECT_EQ(3u, peer.frames_within(100).size());  // one registration from each child
  // Another thread of this process beats for itself, and only for itself.
  int other = 0, own_beat = 0, as_main = 0;
  std::thread([&] {
    other = own_tid();
    (void)kiv_sys_reg_alive_info(other);
    own_beat = kiv_client_reset_thread_notify(parent, other, 1, 1);
    as_main = kiv_client_reset_thread_notify(parent, parent, 1, 1);
  }).join();
  EXPECT_EQ(0, own_beat);
  EXPECT_EQ(-1, as_main);
  EXPECT_EQ(2, kiv_sys_get_alive_seq(other));
  (void)kiv_sys_unreg_alive_info(other);
  EXPECT_EQ(0, beat());  // the parent's own ids still hold
  EXPECT_EQ(3, kiv_sys_get_alive_seq(tid_));
  EXPECT_TRUE(peer.frames_within(50).empty());
}

// The steady-state heartbeat makes one system call, the access() of the
// debug list: traced with strace between two markers of the beating thread.
TEST_F(ThreadNotifyTest, HeartbeatMakesOnlyTheListAccess) {
  if (access("/usr/bin/strace", X_OK) != 0) GTEST_SKIP() << "strace is not installed";
  constexpr int kBeats = 1000;
  const std::string trace = "/tmp/beat.trace";
  ChildResult r = run_in_child([&] {
    // The leak checker cannot run under ptrace; the beats are what is traced.
    setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
    execl("/usr/bin/strace", "strace", "-f", "-qq", "-o", trace.c_str(), KIV_TEST_BIN_DIR "/reg_beater",
          std::to_string(kBeats).c_str(), static_cast<char*>(nullptr));
    return 127;
  });
  ASSERT_TRUE(r.exited(0)) << r.output;
  EXPECT_EQ(0, value_of(r.output, "bad")) << r.output;
  EXPECT_EQ((kBeats + 2) % 255 + 1, value_of(r.output, "seq"));
  std::istringstream in(read_file(trace));
  const std::string prefix = std::to_string(value_of(r.output, "tid")) + " ";
  std::string line, other;
  int state = 0, accesses = 0, others = 0;
  while (std::getline(in, line)) {
    if (line.rfind(prefix, 0) != 0) continue;
    const std::string call = line.substr(line.find_first_not_of(' ', prefix.size()));
    if (call.find("\"kiv-beat-") != std::string::npos) {
      ++state;
    } else if (state == 1 && call.rfind("access(\"/data/.kiv_lib_debug_pid\", F_OK) = -1 ENOENT", 0) == 0) {
      ++accesses;
    } else if (state == 1) {
      other = ++others == 1 ? call : other;
    }
  }
  ASSERT_EQ(2, state) << "markers not found in the trace";
  EXPECT_EQ(kBeats, accesses);
  EXPECT_EQ(0, others) << "the first: " << other;
}

}  // namespace
}  // namespace kiv::test
