// kiv_rpc against a real peer on the control socket: its result in every
// situation, the connection it keeps or drops, the pauses it makes (on the
// fast clock), and its callers in other threads, processes and programs.
#include "kiv_rpc.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "kiv_xtach/reg_helpers.h"
#include "support/child.h"
#include "support/fixture.h"
#include "support/peer.h"
#include "support/program.h"
#include "support/sanitizer.h"

namespace kiv::test {
namespace {

class RpcTest : public SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    keep_descriptors_matching("socket:");  // the cached control socket
  }
  void TearDown() override {
    fast_clock(false);
    SandboxTest::TearDown();
  }
};

enum class World { kAck, kSilent, kLate, kClose, kMarker, kAbsent, kRefused, kBlocked };

TEST_F(RpcTest, ResultAndConnectionInEachSituation) {
  struct Row {
    const char* what;
    World world;
    bool data;  // false: a null payload of length 4
    uint8_t ack, ignore;
    int result;
    const char* pauses;  // nullptr: not checked (an acknowledgement is on its way)
    int frames;          // packets the Manager got from this call
    int conns;           // connections once a later acknowledged call is made; -1: none made
  };
  const Row rows[] = {
      {"null payload", World::kAck, false, 1, 0, -1, "", 0, 1},
      {"exit marker", World::kMarker, true, 1, 0, 0, "", 0, -1},
      {"acknowledged", World::kAck, true, 1, 0, 0, nullptr, 1, 1},
      {"no acknowledgement asked", World::kSilent, true, 0, 0, 0, "", 1, 1},
      {"no acknowledgement in time: kept", World::kSilent, true, 1, 0, 0, "poll1000x5", 1, 1},
      {"acknowledged late: not taken for the next call's", World::kLate, true, 1, 0, 0, "poll1000x5", 1, 2},
      {"hang-up while waiting", World::kClose, true, 1, 0, -1, "", 1, 2},
      {"hang-up after a request without wait", World::kClose, true, 0, 0, 0, "", 1, 2},
      {"no socket file", World::kAbsent, true, 1, 0, -1, "sleep1000x5", 0, -1},
      {"no socket file, errors ignored", World::kAbsent, true, 1, 1, 0, "sleep1000x5", 0, -1},
      {"nobody listening, errors ignored", World::kRefused, true, 0, 1, 0, "sleep1000x5", 0, -1},
      {"cannot connect at all", World::kBlocked, true, 1, 0, -1, "", 0, -1},
  };
  const int payload = 42;
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    (void)unlink(KIV_STATUS_FILE);
    remove_tree("/tmp/kiv");
    std::optional<Peer> peer;
    if (r.world <= World::kMarker) {
      const PeerMode modes[] = {PeerMode::kAck, PeerMode::kSilent, PeerMode::kSilent, PeerMode::kClose,
                                PeerMode::kAck};
      peer.emplace(modes[static_cast<int>(r.world)]);
    }
    int listener = -1;
    if (r.world == World::kRefused) {
      (void)mkdir("/tmp/kiv", 0755);
      listener = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
      struct sockaddr_un addr = {};
      addr.sun_family = AF_UNIX;
      strcpy(addr.sun_path, KIV_SOCK_PATH);
      ASSERT_EQ(0, bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
    }
    if (r.world == World::kMarker) write_file(KIV_STATUS_FILE);
    if (r.world == World::kBlocked) block_manager_socket();
    fast_clock(true);
    EXPECT_EQ(r.result, kiv_rpc(1, nullptr, r.data ? &payload : nullptr, 4, r.ack, r.ignore));
    EXPECT_EQ(r.pauses != nullptr ? r.pauses : "-", r.pauses != nullptr ? pauses() : "-");
    if (listener >= 0) close(listener);
    if (!peer) continue;
    EXPECT_EQ(static_cast<size_t>(r.frames), peer->frames_within(50).size());
    if (r.world == World::kLate) peer->answer(1);
    if (r.conns < 0) continue;
    peer->set_mode(PeerMode::kAck);
    EXPECT_EQ(0, kiv_rpc(1, nullptr, &payload, 4, 1, 0));
    EXPECT_EQ(1u, peer->frames_within(50).size());
    EXPECT_EQ(r.conns, peer->connections());
  }
}

TEST_F(RpcTest, FrameIsExactAndZeroFilled) {
  Peer peer(PeerMode::kAck);
  const std::string long_name(300, 'n');
  const uint8_t payload[5] = {1, 2, 3, 4, 5};
  ASSERT_EQ(0, kiv_rpc(7, long_name.c_str(), payload, sizeof payload, 1, 0));
  ASSERT_EQ(0, kiv_rpc(4, nullptr, nullptr, 0, 0, 0));
  std::vector<uint8_t> want(KIV_MSG_HDR_LEN + 5, 0);
  want[0] = 7;
  want[4] = 5;
  memset(&want[8], 'n', 255);  // cut to 255 and NUL-terminated
  memcpy(&want[KIV_MSG_HDR_LEN], payload, 5);
  std::vector<uint8_t> bare(KIV_MSG_HDR_LEN, 0);
  bare[0] = 4;
  const auto frames = peer.frames_within(300);
  ASSERT_EQ(2u, frames.size());
  EXPECT_EQ(want, frames[0].bytes);
  EXPECT_EQ(bare, frames[1].bytes);
}

TEST_F(RpcTest, ManagerProcessDoesNotCallItself) {
  Peer peer(PeerMode::kAck);
  // The client program copied under the Manager's executable name, and
  // under a longer name that merely begins with it; started through a link
  // that names its mode.
  ASSERT_EQ(0, system("mkdir -p /tmp/bin /tmp/run"));
  for (const char* name : {"kiv", "kivd"}) {
    SCOPED_TRACE(name);
    const std::string copy = std::string("/tmp/bin/") + name;
    ASSERT_EQ(0, system(("cp " KIV_TEST_BIN_DIR "/kiv_test_program " + copy).c_str()));
    (void)unlink("/tmp/run/rpc_client");
    ASSERT_EQ(0, symlink(copy.c_str(), "/tmp/run/rpc_client"));
    ChildResult r = run_in_child([] {
      execl("/tmp/run/rpc_client", "rpc_client", "3", "5", "1", static_cast<char*>(nullptr));
      return 127;
    });
    EXPECT_EQ("3=0\n5=0\n1=0\n", r.output);
    const bool manager = name == std::string("kiv");
    std::string types;
    for (const Frame& f : peer.frames_within(300)) types += std::to_string(f.type());
    EXPECT_EQ(manager ? "1" : "351", types);
  }
}

TEST_F(RpcTest, ConcurrentCallersNeverInterleave) {
  Peer peer(PeerMode::kAck);
  constexpr int kThreads = 8, kCalls = 40;
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &failures] {
      for (int i = 0; i < kCalls; ++i) {
        std::vector<uint8_t> payload(static_cast<size_t>(16 + t * 37 + i), static_cast<uint8_t>(t));
        if (kiv_rpc(100 + t, nullptr, payload.data(), static_cast<uint32_t>(payload.size()), 1, 0) != 0)
          ++failures;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(0, failures.load());
  auto frames = peer.frames_within(300);
  ASSERT_EQ(static_cast<size_t>(kThreads * kCalls), frames.size());
  for (const auto& f : frames) {
    const auto body = f.payload();
    ASSERT_EQ(f.bytes.size(), KIV_MSG_HDR_LEN + static_cast<size_t>(f.bytes[4] | f.bytes[5] << 8));
    for (uint8_t b : body) ASSERT_EQ(f.type() - 100, b);
  }
  EXPECT_EQ(1, peer.connections());
}

// A thread of the process is inside kiv_rpc, holding its lock while it waits
// for the acknowledgement, when another thread forks. The child's own call
// goes through at once on a connection of its own, whatever made the child.
TEST_F(RpcTest, ForkedChildCallsOnItsOwnWhileAParentThreadHoldsTheCall) {
  for (ForkKind kind : {ForkKind::kFork, ForkKind::kUnderscoreFork, ForkKind::kClone}) {
    // ThreadSanitizer forgets the mutexes held by other threads only in the
    // fork() it intercepts: after _Fork() or clone() it still sees the
    // parent's thread holding the call lock the kernel wiped in the child.
    if (kThreadSanitized && kind != ForkKind::kFork) continue;
    SCOPED_TRACE(fork_kind_name(kind));
    Peer peer(PeerMode::kSilent);
    ASSERT_EQ(0, kiv_rpc(7, "warm", nullptr, 0, 0, 0));  // the parent's connection
    int parent_result = -2;
    std::thread caller([&] { parent_result = kiv_rpc(7, "parent", nullptr, 0, 1, 0); });
    ASSERT_TRUE(peer.next_frame());
    ASSERT_TRUE(peer.next_frame());  // the parent's request: its thread now waits
    peer.set_mode(PeerMode::kAck);
    ChildResult r = Child(
                        [] {
                          const int64_t start = monotonic_ms();
                          const int result = kiv_rpc(7, "child", nullptr, 0, 1, 0);
                          printf("result=%d ms=%lld\n", result, static_cast<long long>(monotonic_ms() - start));
                          return 0;
                        },
                        false, kind)
                        .wait(5);
    EXPECT_EQ(0, value_of(r.output, "result")) << r.output;
    EXPECT_LT(value_of(r.output, "ms"), 1000) << r.output;
    peer.answer(1);  // the parent's acknowledgement
    caller.join();
    EXPECT_EQ(0, parent_result);
    const auto child = peer.next_frame();
    ASSERT_TRUE(child);
    EXPECT_EQ("child", child->name());
    EXPECT_NE(1, child->conn);
  }
}

}  // namespace
}  // namespace kiv::test
