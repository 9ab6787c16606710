// One frame per packet over a real SOCK_SEQPACKET pair: what is accepted,
// what is refused, and whether a refused packet stays queued.
#include <errno.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

#include "kiv_dbg.h"
#include "kiv_rpc.h"
#include "support/capture.h"
#include "support/child.h"
#include "support/fixture.h"

namespace kiv::test {
namespace {

class FrameIoTest : public SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    if (IsSkipped()) return;
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv_));
  }
  void TearDown() override {
    for (int fd : sv_)
      if (fd >= 0) close(fd);
    SandboxTest::TearDown();
  }
  void send_raw(const std::vector<uint8_t>& bytes) {
    ASSERT_EQ(static_cast<ssize_t>(bytes.size()), send(sv_[1], bytes.data(), bytes.size(), 0));
  }
  static std::vector<uint8_t> header(uint32_t type, int32_t len, size_t total) {
    std::vector<uint8_t> b(total, 0);
    memcpy(b.data(), &type, 4);
    memcpy(b.data() + 4, &len, 4);
    return b;
  }
  // The size of the next queued packet, without taking it.
  ssize_t queued_size() {
    char c;
    return recv(sv_[0], &c, 1, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
  }
  int sv_[2] = {-1, -1};
};

TEST_F(FrameIoTest, BareHeaderTravelsBothWays) {
  kiv_msg hdr = {};
  hdr.msg_type = 9;
  strcpy(hdr.msg_name, "hello");
  ASSERT_EQ(0, kiv_inner_send_msg(sv_[1], &hdr));
  EXPECT_EQ(KIV_MSG_HDR_LEN, queued_size());
  kiv_msg* got = nullptr;
  ASSERT_EQ(0, kiv_inner_recv_msg(sv_[0], &got));
  EXPECT_EQ(9u, got->msg_type);
  EXPECT_EQ(0, got->msg_len);
  EXPECT_STREQ("hello", got->msg_name);
  free(got);
}

TEST_F(FrameIoTest, PayloadArrivesWholeAndLongerPacketIsCut) {
  // A packet longer than its header claims is read up to the claim; the
  // rest of that packet is discarded, and the next packet is intact.
  auto b = header(2, 4, KIV_MSG_HDR_LEN + 10);
  for (size_t i = 0; i < 10; ++i) b[KIV_MSG_HDR_LEN + i] = static_cast<uint8_t>(0xA0 + i);
  send_raw(b);
  send_raw(header(3, 0, KIV_MSG_HDR_LEN));
  kiv_msg* got = nullptr;
  ASSERT_EQ(0, kiv_inner_recv_msg(sv_[0], &got));
  EXPECT_EQ(4, got->msg_len);
  EXPECT_EQ(0, memcmp(got->msg_data, "\xA0\xA1\xA2\xA3", 4));
  free(got);
  ASSERT_EQ(0, kiv_inner_recv_msg(sv_[0], &got));
  EXPECT_EQ(3u, got->msg_type);
  free(got);
}

TEST_F(FrameIoTest, MalformedPacketsAreRefused) {
  kiv_msg* got = reinterpret_cast<kiv_msg*>(0x1);
  // Shorter than a header: refused at the peek, left queued.
  send_raw(std::vector<uint8_t>(100, 7));
  EXPECT_EQ(-1, kiv_inner_recv_msg(sv_[0], &got));
  EXPECT_EQ(100, queued_size());
  char sink[512];
  ASSERT_EQ(100, recv(sv_[0], sink, sizeof sink, 0));

  // Negative length: refused, left queued.
  send_raw(header(1, -5, KIV_MSG_HDR_LEN));
  EXPECT_EQ(-1, kiv_inner_recv_msg(sv_[0], &got));
  EXPECT_EQ(KIV_MSG_HDR_LEN, queued_size());
  ASSERT_EQ(KIV_MSG_HDR_LEN, recv(sv_[0], sink, sizeof sink, 0));

  // An absurd length is refused before anything is allocated.
  send_raw(header(1, 0x7ffffff0, KIV_MSG_HDR_LEN));
  EXPECT_EQ(-1, kiv_inner_recv_msg(sv_[0], &got));
  ASSERT_EQ(KIV_MSG_HDR_LEN, recv(sv_[0], sink, sizeof sink, 0));

  // Shorter than its header claims: refused, and the packet is consumed.
  send_raw(header(1, 50, KIV_MSG_HDR_LEN + 20));
  EXPECT_EQ(-1, kiv_inner_recv_msg(sv_[0], &got));
  EXPECT_EQ(-1, queued_size());
  EXPECT_EQ(reinterpret_cast<kiv_msg*>(0x1), got);  // never touched on failure
}

TEST_F(FrameIoTest, ClosedPeerFailsBothWaysWithoutSignal) {
  close(sv_[1]);
  sv_[1] = -1;
  kiv_msg* got = nullptr;
  EXPECT_EQ(-1, kiv_inner_recv_msg(sv_[0], &got));  // the peek sees 0 bytes
  kiv_msg hdr = {};
  errno = 0;
  EXPECT_EQ(-1, kiv_inner_send_msg(sv_[0], &hdr));  // EPIPE, and no SIGPIPE ends us
  EXPECT_EQ(EPIPE, errno);
}

TEST_F(FrameIoTest, FullSendBufferFailsAtOnce) {
  int small = 4096;
  ASSERT_EQ(0, setsockopt(sv_[1], SOL_SOCKET, SO_SNDBUF, &small, sizeof small));
  kiv_msg hdr = {};
  const int64_t start = monotonic_ms();
  int sent = 0;
  while (kiv_inner_send_msg(sv_[1], &hdr) == 0) ASSERT_LT(++sent, 100000);
  EXPECT_EQ(EAGAIN, errno);
  EXPECT_GT(sent, 0);
  EXPECT_LT(monotonic_ms() - start, 1000);
}

TEST_F(FrameIoTest, ArgumentErrorsAreLoggedThroughTheGate) {
  kiv_msg hdr = {};
  hdr.msg_len = -1;
  kiv_msg* got = nullptr;
  std::string quiet = capture_stdout([&] {
    EXPECT_EQ(-1, kiv_inner_send_msg(-1, &hdr));
    EXPECT_EQ(-1, kiv_inner_send_msg(sv_[0], nullptr));
    EXPECT_EQ(-1, kiv_inner_send_msg(sv_[0], &hdr));
    EXPECT_EQ(-1, kiv_inner_recv_msg(-1, &got));
    EXPECT_EQ(-1, kiv_inner_recv_msg(sv_[0], nullptr));
  });
  EXPECT_EQ("", quiet);

  g_kiv_dbg_level[KIV_DBG_LIB] = 0;
  std::string loud = capture_stdout([&] { EXPECT_EQ(-1, kiv_inner_send_msg(-3, nullptr)); });
  EXPECT_TRUE(loud.starts_with("[KIV:kiv_rpc:")) << loud;
  EXPECT_TRUE(loud.ends_with("]kiv_inner_send_msg: argument err(sd:-3, msg:(nil))!\n")) << loud;
}

}  // namespace
}  // namespace kiv::test
