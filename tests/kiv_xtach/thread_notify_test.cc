// The thread watchdog against a real peer and the real alive table, the test
// playing the Manager's part in the table: the argument rules and the
// heartbeat's paths (table, debug list, registration). The requests
// themselves: exit_action_test.cc.
#include <gtest/gtest.h>

#include <thread>

#include "kiv_sys_alive.h"
#include "kiv_xtach.h"
#include "kiv_xtach/reg_helpers.h"
#include "support/child.h"
#include "support/fixture.h"
#include "support/peer.h"

namespace kiv::test {
namespace {

class ThreadNotifyTest : public SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    keep_descriptors_matching("socket:");       // the cached control socket
    setenv("DATA_TALU_DIR", "/data/.talu", 1);  // no debug configuration there
    peer_.emplace(PeerMode::kAck);
  }
  void TearDown() override {
    unsetenv("DATA_TALU_DIR");
    peer_.reset();
    SandboxTest::TearDown();
  }
  // As the Manager does once it has accepted the thread's registration.
  void register_in_table() {
    ASSERT_EQ(0, kiv_sys_init_alive_info(1));
    ASSERT_EQ(0, kiv_sys_reg_alive_info(tid_));
  }
  int beat() { return kiv_client_reset_thread_notify(pid_, tid_, 1, 1); }

  const int pid_ = getpid(), tid_ = own_tid();
  std::optional<Peer> peer_;
};

TEST_F(ThreadNotifyTest, ArgumentRules) {
  int other = 0;  // another thread of this process
  std::thread([&] { other = own_tid(); }).join();
  const int p = pid_, t = tid_;
  const int cases[][4] = {{0, t, 1, 1}, {-3, t, 1, 1}, {p, 0, 1, 1}, {p, t, 0, 1}, {p, t, 1, 0}, {p, other, 1, 1}, {p + 1, t, 1, 1}};
  for (auto fn : {kiv_client_reg_thread_notify, kiv_client_reset_thread_notify}) {
    for (const auto& c : cases) EXPECT_EQ(-1, fn(c[0], c[1], c[2], c[3])) << c[0] << " " << c[1] << " " << c[2];
  }
  EXPECT_TRUE(peer_->frames_within(100).empty());
}

TEST_F(ThreadNotifyTest, HeartbeatOfARegisteredThreadStaysInSharedMemory) {
  register_in_table();
  for (int n = 0; n < 3; ++n) EXPECT_EQ(0, beat());
  EXPECT_EQ(4, kiv_sys_get_alive_seq(tid_));
  g_kiv_alive_info.table->alive_seq[tid_] = 254;
  EXPECT_EQ(0, beat());
  EXPECT_EQ(0, beat());
  EXPECT_EQ(1, kiv_sys_get_alive_seq(tid_));  // 255, then never 0 while registered
  EXPECT_TRUE(peer_->frames_within(50).empty());
  // Once the Manager has cleared the entry, a beat is a registration again.
  ASSERT_EQ(0, kiv_sys_unreg_alive_info(tid_));
  EXPECT_EQ(0, beat());
  EXPECT_EQ(0, kiv_sys_get_alive_seq(tid_));
  const auto f = peer_->next_frame();
  ASSERT_TRUE(f);
  EXPECT_EQ(3u, f->type());
  EXPECT_EQ(thread_rec(tid_, 4, 180), f->payload());  // the test's main thread: tid == pid
}

TEST_F(ThreadNotifyTest, DebugListSilencesListedThreads) {
  const char* list = "/data/.kiv_lib_debug_pid";
  register_in_table();
  const std::string me = std::to_string(tid_);
  const struct {
    std::string text;
    int advance;
  } rows[] = {{"17\n" + me + "\n99\n", 0}, {"17\n\n" + me, 0}, {me + "0\n1" + me + "\n", 1}, {"", 1}};
  int seq = kiv_sys_get_alive_seq(tid_);
  for (const auto& r : rows) {
    write_file(list, r.text);
    EXPECT_EQ(0, beat());
    EXPECT_EQ(seq += r.advance, kiv_sys_get_alive_seq(tid_)) << r.text;
  }
  // A listed thread that is not registered sends nothing either.
  ASSERT_EQ(0, kiv_sys_unreg_alive_info(tid_));
  write_file(list, me + "\n");
  EXPECT_EQ(0, beat());
  EXPECT_TRUE(peer_->frames_within(100).empty());
}

}  // namespace
}  // namespace kiv::test
