// One packet from a hostile peer, received as the RPC call receives the
// Manager's acknowledgement: kiv_inner_recv_msg over a SOCK_SEQPACKET pair.
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "kiv_rpc.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Beyond the socket's send buffer the packet could not be sent at all.
  if (size > 64 * 1024) return -1;
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv) != 0) abort();
  if (send(sv[0], data, size, 0) != static_cast<ssize_t>(size)) abort();
  // A closed peer also ends a receive that waits for more.
  (void)close(sv[0]);
  kiv_msg* msg = nullptr;
  if (kiv_inner_recv_msg(sv[1], &msg) == 0) {
    // Only a whole frame is handed over, byte for byte as sent.
    const size_t total = KIV_MSG_HDR_LEN + static_cast<size_t>(msg->msg_len);
    if (msg->msg_len < 0 || total > size || memcmp(msg, data, total) != 0) abort();
    free(msg);
  } else if (msg != nullptr) {
    abort();  // a failed receive leaves the out-parameter alone
  }
  (void)close(sv[1]);
  return 0;
}
