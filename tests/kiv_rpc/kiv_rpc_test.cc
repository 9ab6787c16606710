// kiv_rpc against a real peer on the control socket.
#include "kiv_rpc.h"

#include <gtest/gtest.h>

#include "support/fixture.h"
#include "support/peer.h"

namespace kiv::test {
namespace {

class RpcTest : public SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    keep_descriptors_matching("socket:");  // the cached control socket
  }
};

TEST_F(RpcTest, SendsFrameAndTakesAck) {
  Peer peer(PeerMode::kAck);
  const char payload[] = "abc";
  ASSERT_EQ(0, kiv_rpc(7, "name", payload, 3, 1, 0));
  auto f = peer.next_frame();
  ASSERT_TRUE(f);
  EXPECT_EQ(268u + 3u, f->bytes.size());
  EXPECT_EQ(7u, f->type());
  EXPECT_EQ(3, f->len());
  EXPECT_EQ("name", f->name());
}

}  // namespace
}  // namespace kiv::test
