// Frames over a real SOCK_SEQPACKET pair, and kiv_rpc against a real peer on
// the control socket: its result in every situation, the connection it keeps
// or drops, its pauses (on the fast clock), and its callers in other
// threads and forked children.
#include "kiv_rpc.h"

#include <gtest/gtest.h>
#include <stddef.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <thread>

#include "kiv_sys_alive.h"
#include "kiv_xtach.h"
#include "kiv_xtach/peer.h"
#include "support/child.h"
#include "support/fixture.h"

namespace kiv::test {
namespace {

std::vector<uint8_t> packet(uint32_t type, int32_t len, size_t total) {
  std::vector<uint8_t> b(total, 0);
  memcpy(b.data(), &type, 4);
  memcpy(b.data() + 4, &len, 4);
  for (size_t i = KIV_MSG_HDR_LEN; i < total; ++i) b[i] = static_cast<uint8_t>(i);
  return b;
}

std::string name_of(const Frame& f) { return reinterpret_cast<const char*>(&f.bytes.at(offsetof(kiv_msg, msg_name))); }

using FrameIoTest = SandboxTest;

// A peer that reads nothing: once its queue is full a send fails at once
// (the caller drops the connection) instead of blocking its thread for good.
TEST_F(FrameIoTest, SendToAFullQueueFailsAtOnce) {
  int sv[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv));
  const kiv_msg beat = {};
  while (send(sv[1], &beat, KIV_MSG_HDR_LEN, MSG_DONTWAIT) > 0) {
  }
  EXPECT_TRUE(Child([&] { return kiv_inner_send_msg(sv[1], &beat) == -1 ? 0 : 1; }).wait(10).exited(0));
  close(sv[0]);
  close(sv[1]);
}

TEST_F(FrameIoTest, ReceiveTakesOneWholeFrameOrRefusesThePacket) {
  const struct {
    const char* what;
    std::vector<uint8_t> sent;
    int result;
    ssize_t left;  // bytes of the packet still queued after the call
  } rows[] = {
      {"bare header", packet(9, 0, KIV_MSG_HDR_LEN), 0, -1},
      {"longer than claimed: the rest is dropped", packet(2, 4, KIV_MSG_HDR_LEN + 10), 0, -1},
      {"shorter than a header: left queued", std::vector<uint8_t>(100, 0), -1, 100},
      {"negative length: left queued", packet(1, -5, KIV_MSG_HDR_LEN), -1, KIV_MSG_HDR_LEN},
      {"absurd length", packet(1, 0x7ffffff0, KIV_MSG_HDR_LEN), -1, KIV_MSG_HDR_LEN},
      {"shorter than claimed: consumed", packet(1, 50, KIV_MSG_HDR_LEN + 20), -1, -1},
  };
  int sv[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv));
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    ASSERT_EQ(static_cast<ssize_t>(r.sent.size()), send(sv[1], r.sent.data(), r.sent.size(), 0));
    kiv_msg* got = nullptr;
    EXPECT_EQ(r.result, kiv_inner_recv_msg(sv[0], &got));
    ASSERT_EQ(r.result == 0, got != nullptr);  // left alone on failure
    const auto* bytes = reinterpret_cast<uint8_t*>(got);
    const size_t n = got != nullptr ? KIV_MSG_HDR_LEN + got->msg_len : 0;
    EXPECT_EQ(std::vector<uint8_t>(r.sent.begin(), r.sent.begin() + n), std::vector<uint8_t>(bytes, bytes + n));
    free(got);
    char sink[1024];
    EXPECT_EQ(r.left, recv(sv[0], sink, sizeof sink, MSG_DONTWAIT));
  }
  close(sv[0]);
  close(sv[1]);
}

class RpcTest : public SandboxTest {
  void SetUpSandboxed() override { keep_descriptors_matching("socket:"); }  // the cached control socket
  void TearDownSandboxed() override { fast_clock(false); }
};

enum class World { kAck, kSilent, kLate, kClose, kMarker, kAbsent, kRefused, kBlocked };

TEST_F(RpcTest, ResultAndConnectionInEachSituation) {
  const struct {
    const char* what;
    World world;
    bool data;  // false: a null payload of length 4
    uint8_t ack, ignore;
    int result;
    const char* pauses;  // nullptr: not checked (an acknowledgement is on its way)
    int frames;          // packets the Manager got from this call
    int conns;           // the connection of a later call: 2 when this one's was dropped; -1: none made
  } rows[] = {
      {"null payload", World::kAck, false, 1, 0, -1, "", 0, 1},
      {"exit marker", World::kMarker, true, 1, 0, 0, "", 0, -1},
      {"acknowledged", World::kAck, true, 1, 0, 0, nullptr, 1, 1},
      {"no acknowledgement asked", World::kSilent, true, 0, 0, 0, "", 1, 1},
      {"no acknowledgement in time: kept", World::kSilent, true, 1, 0, 0, "poll1000x5", 1, 1},
      {"acknowledged late: not taken for the next call's", World::kLate, true, 1, 0, 0, "poll1000x5", 1, 2},
      {"hang-up while waiting", World::kClose, true, 1, 0, -1, "", 1, 2},
      {"hang-up after a request without wait", World::kClose, true, 0, 0, 0, "", 1, 2},
      {"no socket file", World::kAbsent, true, 1, 0, -1, "sleep1000x5", 0, -1},
      {"nobody listening, errors ignored", World::kRefused, true, 0, 1, 0, "sleep1000x5", 0, -1},
      {"cannot connect at all", World::kBlocked, true, 1, 0, -1, "", 0, -1},
  };
  const int payload = 42;
  const PeerMode modes[] = {PeerMode::kAck, PeerMode::kSilent, PeerMode::kSilent, PeerMode::kClose, PeerMode::kAck};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    (void)unlink(KIV_STATUS_FILE);
    remove_tree("/tmp/kiv");
    std::optional<Peer> peer;
    if (r.world <= World::kMarker) peer.emplace(modes[static_cast<int>(r.world)]);
    // A file that is no socket refuses a connection as a socket nobody listens on does.
    if (r.world == World::kRefused) (void)mkdir("/tmp/kiv", 0755), write_file(KIV_SOCK_PATH);
    if (r.world == World::kMarker) write_file(KIV_STATUS_FILE);
    if (r.world == World::kBlocked) block_manager_socket();
    fast_clock(true);
    EXPECT_EQ(r.result, kiv_rpc(1, nullptr, r.data ? &payload : nullptr, 4, r.ack, r.ignore));
    EXPECT_EQ(r.pauses != nullptr ? r.pauses : "-", r.pauses != nullptr ? pauses() : "-");
    if (!peer) continue;
    EXPECT_EQ(static_cast<size_t>(r.frames), peer->frames_within(50).size());
    if (r.world == World::kLate) peer->answer(1);
    if (r.conns < 0) continue;
    ASSERT_EQ(0, kiv_rpc(7, std::string(300, 'n').c_str(), "\1\2\3\4\5", 5, 0, 0));
    const auto later = peer->frames_within(50);
    ASSERT_EQ(1u, later.size());
    EXPECT_EQ(manager::make_frame(7, std::string(255, 'n'), {1, 2, 3, 4, 5}), later[0].bytes);  // the name cut
    EXPECT_EQ(r.conns, later[0].conn);
  }
}

// A thread is inside kiv_rpc, holding the call while it waits for the
// acknowledgement: another thread's call waits for it (and so never takes
// it), while a child forked meanwhile calls at once on a connection of its
// own, whatever made it, and beats as itself.
TEST_F(RpcTest, OneCallAtATimeInAProcessAndForkedChildrenOnTheirOwn) {
  ASSERT_EQ(0, kiv_sys_init_alive_info(1));
  ASSERT_EQ(0, kiv_sys_reg_alive_info(getpid()));
  ASSERT_EQ(0, kiv_client_reset_thread_notify(getpid(), getpid(), 1, 1));  // this thread's ids are known
  for (ForkKind kind : {ForkKind::kFork, ForkKind::kUnderscoreFork, ForkKind::kClone}) {
    // ThreadSanitizer forgets other threads' mutexes only in the fork() it
    // intercepts: after _Fork() or clone() it sees the wiped call lock held.
    if (kThreadSanitized && kind != ForkKind::kFork) continue;
    SCOPED_TRACE(fork_kind_name(kind));
    Peer peer(PeerMode::kSilent);
    int first = -2, second = -2;
    std::thread caller([&] { first = kiv_rpc(7, "first", nullptr, 0, 1, 0); });
    const bool waits = peer.next_frame().has_value();
    std::thread other([&] { second = kiv_rpc(7, "second", nullptr, 0, 1, 0); });
    const ChildResult r = Child([] {
      const int me = getpid();
      return kiv_rpc(7, "child", nullptr, 0, 0, 0) + kiv_sys_reg_alive_info(me) +
             kiv_client_reset_thread_notify(me, me, 1, 1);
    }, false, kind).wait(3);
    EXPECT_TRUE(waits && r.exited(0));
    std::string seen;  // "name@connection" of each request until the first call's acknowledgement
    for (const Frame& f : peer.frames_within(50)) seen += name_of(f) + "@" + std::to_string(f.conn);
    peer.answer(1);
    caller.join();
    EXPECT_EQ("child@2", seen);
    EXPECT_EQ("second", name_of(peer.next_frame().value_or(Frame())));
    peer.answer(1);
    other.join();
    EXPECT_EQ(0, first + second);
  }
}

}  // namespace
}  // namespace kiv::test
