// One frame per packet over a real SOCK_SEQPACKET pair: what is accepted,
// what is refused, and whether a refused packet stays queued.
#include <errno.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

#include "kiv_rpc.h"
#include "support/fixture.h"

namespace kiv::test {
namespace {

using FrameIoTest = SandboxTest;

std::vector<uint8_t> packet(uint32_t type, int32_t len, size_t total) {
  std::vector<uint8_t> b(total, 0);
  memcpy(b.data(), &type, 4);
  memcpy(b.data() + 4, &len, 4);
  for (size_t i = KIV_MSG_HDR_LEN; i < total; ++i) b[i] = static_cast<uint8_t>(i);
  return b;
}

TEST_F(FrameIoTest, ReceiveTakesOneWholeFrameOrRefusesThePacket) {
  struct Row {
    const char* what;
    std::vector<uint8_t> sent;
    int result;
    ssize_t left;  // bytes of the packet still queued after the call
  };
  const Row rows[] = {
      {"bare header", packet(9, 0, KIV_MSG_HDR_LEN), 0, -1},
      {"payload", packet(2, 6, KIV_MSG_HDR_LEN + 6), 0, -1},
      {"longer than claimed: the rest is dropped", packet(2, 4, KIV_MSG_HDR_LEN + 10), 0, -1},
      {"shorter than a header: left queued", std::vector<uint8_t>(100, 7), -1, 100},
      {"negative length: left queued", packet(1, -5, KIV_MSG_HDR_LEN), -1, KIV_MSG_HDR_LEN},
      {"absurd length: refused before allocating", packet(1, 0x7ffffff0, KIV_MSG_HDR_LEN), -1, KIV_MSG_HDR_LEN},
      {"shorter than claimed: consumed", packet(1, 50, KIV_MSG_HDR_LEN + 20), -1, -1},
  };
  int sv[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv));
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    ASSERT_EQ(static_cast<ssize_t>(r.sent.size()), send(sv[1], r.sent.data(), r.sent.size(), 0));
    kiv_msg* got = reinterpret_cast<kiv_msg*>(0x1);
    EXPECT_EQ(r.result, kiv_inner_recv_msg(sv[0], &got));
    if (r.result == 0) {
      const size_t len = KIV_MSG_HDR_LEN + static_cast<size_t>(got->msg_len);
      EXPECT_EQ(std::vector<uint8_t>(r.sent.begin(), r.sent.begin() + static_cast<long>(len)),
                std::vector<uint8_t>(reinterpret_cast<uint8_t*>(got), reinterpret_cast<uint8_t*>(got) + len));
      free(got);
    } else {
      EXPECT_EQ(reinterpret_cast<kiv_msg*>(0x1), got);  // untouched on failure
    }
    char sink[1024];
    EXPECT_EQ(r.left, recv(sv[0], sink, sizeof sink, MSG_DONTWAIT));
  }
  // What the library sends arrives as one packet of exactly header + length.
  const std::vector<uint8_t> frame = packet(4, 3, KIV_MSG_HDR_LEN + 3);
  ASSERT_EQ(0, kiv_inner_send_msg(sv[1], reinterpret_cast<const kiv_msg*>(frame.data())));
  uint8_t got[1024];
  EXPECT_EQ(frame, std::vector<uint8_t>(got, got + recv(sv[0], got, sizeof got, 0)));
  // Bad arguments, and a closed peer: no SIGPIPE ends us.
  kiv_msg bad = {};
  bad.msg_len = -1;
  kiv_msg* out = nullptr;
  EXPECT_EQ(-1, kiv_inner_send_msg(sv[1], &bad));
  EXPECT_EQ(-1, kiv_inner_send_msg(-1, reinterpret_cast<const kiv_msg*>(frame.data())));
  EXPECT_EQ(-1, kiv_inner_recv_msg(sv[0], nullptr));
  EXPECT_EQ(-1, kiv_inner_recv_msg(-1, &out));
  close(sv[1]);
  EXPECT_EQ(-1, kiv_inner_recv_msg(sv[0], &out));
  errno = 0;
  EXPECT_EQ(-1, kiv_inner_send_msg(sv[0], reinterpret_cast<const kiv_msg*>(frame.data())));
  EXPECT_EQ(EPIPE, errno);
  close(sv[0]);
}

}  // namespace
}  // namespace kiv::test
