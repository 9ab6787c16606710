// kiv_rpc against a real peer process on the control socket.
#include "kiv_rpc.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "kiv_dbg.h"
#include "support/capture.h"
#include "support/child.h"
#include "kiv_xtach/reg_helpers.h"
#include "support/fixture.h"
#include "support/log_text.h"
#include "support/peer.h"
#include "support/sanitizer.h"

namespace kiv::test {
namespace {

class RpcTest : public SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    keep_descriptors_matching("socket:");  // the cached control socket
  }
};

TEST_F(RpcTest, FrameIsExactAndZeroFilled) {
  Peer peer(PeerMode::kAck);
  const std::string long_name(300, 'n');
  const uint8_t payload[5] = {1, 2, 3, 4, 5};
  const int64_t start = monotonic_ms();
  ASSERT_EQ(0, kiv_rpc(7, long_name.c_str(), payload, sizeof payload, 1, 0));
  EXPECT_LT(monotonic_ms() - start, 500);  // the acknowledgement ends the wait
  auto f = peer.next_frame();
  ASSERT_TRUE(f);
  ASSERT_EQ(KIV_MSG_HDR_LEN + 5u, f->bytes.size());
  EXPECT_EQ(7u, f->type());
  EXPECT_EQ(5, f->len());
  EXPECT_EQ(std::string(255, 'n'), f->name());  // cut to 255 and NUL-terminated
  for (size_t i = 8 + 255; i < KIV_MSG_HDR_LEN; ++i) EXPECT_EQ(0, f->bytes[i]) << "byte " << i;
  EXPECT_EQ(std::vector<uint8_t>(payload, payload + 5), f->payload());

  // A null name and no payload: a bare, all-zero header but for the type.
  ASSERT_EQ(0, kiv_rpc(4, nullptr, nullptr, 0, 0, 0));
  f = peer.next_frame();
  ASSERT_TRUE(f);
  std::vector<uint8_t> bare(KIV_MSG_HDR_LEN, 0);
  bare[0] = 4;
  EXPECT_EQ(bare, f->bytes);
  EXPECT_EQ(1, peer.connections());  // one connection served both calls
}

TEST_F(RpcTest, ArgumentErrorAndExitMarker) {
  Peer peer(PeerMode::kAck);
  EXPECT_EQ(-1, kiv_rpc(1, nullptr, nullptr, 4, 1, 0));
  int fd = open(KIV_STATUS_FILE, O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  close(fd);
  const int payload = 1;
  EXPECT_EQ(0, kiv_rpc(1, nullptr, &payload, 4, 1, 0));
  EXPECT_EQ(-1, kiv_rpc(1, nullptr, nullptr, 4, 1, 0));  // arguments are checked first
  EXPECT_EQ(0, peer.connections(200));                   // no socket was touched
  EXPECT_TRUE(peer.frames_within(0).empty());
  unlink(KIV_STATUS_FILE);
  EXPECT_EQ(0, kiv_rpc(1, nullptr, &payload, 4, 1, 0));
  EXPECT_TRUE(peer.next_frame());
}

TEST_F(RpcTest, UnreachableManagerRetriesFiveSecondsThenGivesUp) {
  // No socket file: six connect attempts, one second apart. Both flag
  // values at once, in two processes.
  auto attempt = [](uint8_t ignore) {
    g_kiv_dbg_level[KIV_DBG_LIB] = 0;
    const int64_t start = monotonic_ms();
    int r = kiv_rpc(1, nullptr, nullptr, 0, 1, ignore);
    printf("result=%d ms=%lld\n", r, static_cast<long long>(monotonic_ms() - start));
    return 0;
  };
  Child strict([&] { return attempt(0); });
  Child lenient([&] { return attempt(1); });
  ChildResult a = strict.wait();
  ChildResult b = lenient.wait();
  EXPECT_NE(std::string::npos, a.output.find("result=-1 ")) << a.output;
  EXPECT_NE(std::string::npos, b.output.find("result=0 ")) << b.output;
  EXPECT_EQ(6, count_of(a.output, "connect refused, wait and retry")) << a.output;
  EXPECT_NE(std::string::npos, a.output.find("retry:0, err:2,")) << a.output;
  EXPECT_NE(std::string::npos, a.output.find("retry:5, err:2,")) << a.output;
  EXPECT_EQ(1, count_of(a.output, "kiv_connect: connect fail(ret:-1)\n"));
  for (const auto* out : {&a.output, &b.output}) {
    long long ms = atoll(out->substr(out->find("ms=") + 3).c_str());
    EXPECT_GE(ms, 4900);
    EXPECT_LT(ms, 7000);
  }
}

TEST_F(RpcTest, RefusedConnectionIsRetriedLikeAMissingSocket) {
  // A socket file with nobody listening: ECONNREFUSED on every attempt.
  int sd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  struct sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  strcpy(addr.sun_path, KIV_SOCK_PATH);
  ASSERT_EQ(0, bind(sd, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
  ChildResult r = run_in_child([] {
    g_kiv_dbg_level[KIV_DBG_LIB] = 0;
    printf("result=%d\n", kiv_rpc(1, nullptr, nullptr, 0, 0, 1));
    return 0;
  });
  close(sd);
  unlink(KIV_SOCK_PATH);
  EXPECT_NE(std::string::npos, r.output.find("result=0\n")) << r.output;
  EXPECT_EQ(6, count_of(r.output, "err:111,")) << r.output;
}

TEST_F(RpcTest, MissingAndLateAcknowledgements) {
  Peer peer(PeerMode::kSilent);
  const int payload = 42;
  int64_t start = monotonic_ms();
  EXPECT_EQ(0, kiv_rpc(1, nullptr, &payload, 4, 1, 0));  // no ack: 0 after five polls
  EXPECT_GE(monotonic_ms() - start, 4900);
  peer.set_mode(PeerMode::kAck);
  EXPECT_EQ(0, kiv_rpc(1, nullptr, &payload, 4, 1, 0));
  EXPECT_EQ(1, peer.connections());  // the connection outlived the timeout

  // A late acknowledgement is never taken for a later call's: the next call
  // finds it pending and starts a new connection.
  peer.set_mode(PeerMode::kLateAck, 5600);
  start = monotonic_ms();
  EXPECT_EQ(0, kiv_rpc(1, nullptr, &payload, 4, 1, 0));
  EXPECT_GE(monotonic_ms() - start, 4900);
  usleep(900 * 1000);
  peer.set_mode(PeerMode::kSilent);
  start = monotonic_ms();
  EXPECT_EQ(0, kiv_rpc(1, nullptr, &payload, 4, 0, 0));
  EXPECT_LT(monotonic_ms() - start, 500);
  EXPECT_EQ(2, peer.connections());
  EXPECT_EQ(4u, peer.frames_within(100).size());
}

TEST_F(RpcTest, PeerClosingIsSurvived) {
  Peer peer(PeerMode::kClose);
  const int payload = 1;
  // Closed while we wait for the acknowledgement: the wait fails.
  EXPECT_EQ(-1, kiv_rpc(1, nullptr, &payload, 4, 1, 0));
  // Closed after a request without acknowledgement: the next call notices
  // the hang-up before sending and reconnects.
  EXPECT_EQ(0, kiv_rpc(1, nullptr, &payload, 4, 0, 0));
  usleep(100 * 1000);
  peer.set_mode(PeerMode::kAck);
  EXPECT_EQ(0, kiv_rpc(1, nullptr, &payload, 4, 1, 0));
  EXPECT_EQ(3, peer.connections());
  EXPECT_EQ(3u, peer.frames_within(100).size());
}

// One-way requests sent faster than a busy Manager takes them fill the
// send queue: they wait for room instead of being lost with the connection.
TEST_F(RpcTest, OneWayBurstWaitsForRoomAndLosesNothing) {
  constexpr int kFrames = 5000;  // more than the largest send buffer holds
  (void)unlink(KIV_SOCK_PATH);
  const int lsd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  ASSERT_GE(lsd, 0);
  struct sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  strncpy(addr.sun_path, KIV_SOCK_PATH, sizeof addr.sun_path - 1);
  ASSERT_EQ(0, bind(lsd, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
  ASSERT_EQ(0, listen(lsd, 8));
  int accepted = 0, received = 0;
  std::thread manager([&] {
    const int sd = accept4(lsd, nullptr, nullptr, SOCK_CLOEXEC);
    if (sd < 0) return;
    ++accepted;
    usleep(300 * 1000);  // busy elsewhere while the queue fills
    char buf[1024];
    const int64_t end = monotonic_ms() + 10000;
    while (received < kFrames && monotonic_ms() < end) {
      struct pollfd p = {sd, POLLIN, 0};
      if (poll(&p, 1, 500) == 1 && recv(sd, buf, sizeof buf, 0) > 0) ++received;
    }
    close(sd);
  });
  const uint8_t beat[320] = {};
  int failed = 0;
  for (int i = 0; i < kFrames; ++i) failed += kiv_rpc(4, nullptr, beat, sizeof beat, 0, 0) != 0;
  manager.join();
  close(lsd);
  (void)unlink(KIV_SOCK_PATH);
  EXPECT_EQ(0, failed);
  EXPECT_EQ(kFrames, received);
  EXPECT_EQ(1, accepted);
}

TEST_F(RpcTest, ManagerProcessDoesNotCallItself) {
  Peer peer(PeerMode::kAck);
  // The same client program under the Manager's executable name, and under
  // a longer name that merely begins with it.
  mkdir("/tmp/bin", 0755);
  const std::string src = std::string(KIV_TEST_BIN_DIR) + "/rpc_client";
  for (const char* name : {"kiv", "kivd"}) {
    const std::string dst = std::string("/tmp/bin/") + name;
    ASSERT_EQ(0, system(("cp " + src + " " + dst).c_str()));
  }
  auto run = [](const char* path) {
    return run_in_child([path] {
      execl(path, path, "3:1", "5:1", "1:1", static_cast<char*>(nullptr));
      return 127;
    });
  };
  ChildResult kiv = run("/tmp/bin/kiv");
  EXPECT_EQ("3=0\n5=0\n1=0\n", kiv.output);
  auto frames = peer.frames_within(200);
  ASSERT_EQ(1u, frames.size());
  EXPECT_EQ(1u, frames[0].type());

  ChildResult kivd = run("/tmp/bin/kivd");
  EXPECT_EQ("3=0\n5=0\n1=0\n", kivd.output);
  frames = peer.frames_within(200);
  ASSERT_EQ(3u, frames.size());
  EXPECT_EQ(3u, frames[0].type());
  EXPECT_EQ(5u, frames[1].type());
}

TEST_F(RpcTest, ConcurrentCallersNeverInterleave) {
  Peer peer(PeerMode::kAck);
  constexpr int kThreads = 8, kCalls = 40;
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &failures] {
      for (int i = 0; i < kCalls; ++i) {
        std::vector<uint8_t> payload(static_cast<size_t>(16 + t * 37 + i), static_cast<uint8_t>(t + 1));
        if (kiv_rpc(static_cast<uint32_t>(100 + t), nullptr, payload.data(),
                    static_cast<uint32_t>(payload.size()), 1, 0) != 0)
          ++failures;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(0, failures.load());
  auto frames = peer.frames_within(300);
  ASSERT_EQ(static_cast<size_t>(kThreads * kCalls), frames.size());
  for (const auto& f : frames) {
    const int t = static_cast<int>(f.type()) - 100;
    ASSERT_TRUE(t >= 0 && t < kThreads);
    ASSERT_EQ(KIV_MSG_HDR_LEN + static_cast<size_t>(f.len()), f.bytes.size());
    for (uint8_t b : f.payload()) ASSERT_EQ(t + 1, b);
  }
  EXPECT_EQ(1, peer.connections());
}

// A thread of the process is inside kiv_rpc, holding its lock, when
// another thread forks: waiting on an absent Manager, or for the
// acknowledgement on a connection that the child must not take over. The
// child's own call, once the Manager answers, goes through at once on a
// connection of its own, whatever kind of fork made the child.
TEST_F(RpcTest, ForkedChildCallsOnItsOwnWhileAParentThreadHoldsTheCall) {
  struct Case {
    bool connected;  // false: the parent's thread is in the connect retries
    ForkKind kind;
  };
  const Case cases[] = {{false, ForkKind::kFork},         {false, ForkKind::kUnderscoreFork},
                        {false, ForkKind::kClone},        {true, ForkKind::kFork},
                        {true, ForkKind::kUnderscoreFork}, {true, ForkKind::kClone}};
  for (const Case& c : cases) {
    // ThreadSanitizer forgets the mutexes held by other threads only in the
    // fork() it intercepts: after _Fork() or clone() it still sees the
    // parent's thread holding the call lock the kernel wiped in the child,
    // and reports a double lock.
    if (kThreadSanitized && c.kind != ForkKind::kFork) continue;
    SCOPED_TRACE(std::string(fork_kind_name(c.kind)) + (c.connected ? " connected" : " absent"));
    std::optional<Peer> peer;
    if (c.connected) {
      peer.emplace(PeerMode::kSilent);
      ASSERT_EQ(0, kiv_rpc(7, "warm", nullptr, 0, 0, 0));  // the parent's connection
    }
    int go[2];
    ASSERT_EQ(0, pipe2(go, O_CLOEXEC));
    int parent_result = -2;
    std::thread caller([&] { parent_result = kiv_rpc(7, "parent", nullptr, 0, 1, 0); });
    usleep(300 * 1000);  // the caller is connecting or waiting by now
    Child child(
        [&] {
          char byte;
          if (read(go[0], &byte, 1) != 1) return 2;
          const int64_t start = monotonic_ms();
          const int r = kiv_rpc(7, "child", nullptr, 0, 1, 0);
          printf("result=%d ms=%lld\n", r, static_cast<long long>(monotonic_ms() - start));
          return 0;
        },
        false, c.kind);
    if (c.connected) {
      peer->set_mode(PeerMode::kAck);
    } else {
      peer.emplace(PeerMode::kAck);
    }
    ASSERT_EQ(1, write(go[1], "g", 1));
    ChildResult r = child.wait(5);
    close(go[0]);
    close(go[1]);
    EXPECT_TRUE(r.exited(0)) << r.output;
    EXPECT_EQ(0, value_of(r.output, "result")) << r.output;
    EXPECT_LT(value_of(r.output, "ms"), 1000) << r.output;
    if (c.connected) peer->send_raw(1, std::vector<uint8_t>(KIV_MSG_HDR_LEN, 0));  // the late ack
    caller.join();
    EXPECT_EQ(0, parent_result);
    std::vector<Frame> frames = peer->frames_within(200);
    std::map<std::string, int> conn_of;
    for (const Frame& f : frames) conn_of[f.name()] = f.conn;
    ASSERT_EQ(1u, conn_of.count("child"));
    ASSERT_EQ(1u, conn_of.count("parent"));
    EXPECT_NE(conn_of["parent"], conn_of["child"]);
  }
}

}  // namespace
}  // namespace kiv::test
