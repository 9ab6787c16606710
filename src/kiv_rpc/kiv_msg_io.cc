// Moving one frame over a connected SOCK_SEQPACKET socket: one frame is one
// packet, so the packet boundary is the frame boundary.
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "base/log.h"
#include "kiv_rpc.h"
#include "kiv_rpc/msg_io.h"
#include "kiv_utils.h"

namespace kiv {
namespace {
constexpr char kLogModule[] = "kiv_rpc";
// The library receives only acknowledgements; a claimed payload beyond this
// is no frame of the Manager's, and is refused before anything is allocated.
constexpr int32_t kMaxRecvPayload = 1 << 20;
}  // namespace
}  // namespace kiv

using kiv::kLogModule;

extern "C" int kiv_inner_send_msg(int sd, const kiv_msg* msg) {
  static constexpr char kName[] = "kiv_inner_send_msg";
  if (sd < 0 || msg == nullptr || msg->msg_len < 0) {
    KIV_LOG("%s: argument err(sd:%d, msg:%p)!\n", kName, sd, static_cast<const void*>(msg));
    return -1;
  }
  KIV_LOG("%s: send msg(sd:%d, msg_type:%d, msg_len:%d)!\n", kName, sd,
          static_cast<int>(msg->msg_type), msg->msg_len);
  const ssize_t len = static_cast<ssize_t>(KIV_MSG_HDR_LEN) + msg->msg_len;
  for (;;) {
    ssize_t r = send(sd, msg, static_cast<size_t>(len), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (r == len) return 0;
    // A momentary shortage of kernel memory passes; a full queue (EAGAIN)
    // or a gone peer (EPIPE) does not.
    if (r == -1 && (errno == EINTR || errno == ENOMEM || errno == ENOBUFS)) continue;
    KIV_LOG("%s: send msg err(tid:%d, sd:%d, msg_type:%d, msg_len:%d, ret:%d, err:%d, %s)!\n",
            kName, static_cast<int>(syscall(SYS_gettid)), sd, static_cast<int>(msg->msg_type),
            msg->msg_len, static_cast<int>(r), errno, strerror(errno));
    return -1;
  }
}

int kiv::recv_frame(int sd, void* small, size_t small_len, kiv_msg** out) {
  static constexpr char kName[] = "kiv_inner_recv_msg";
  kiv_msg hdr;
  for (;;) {
    memset(&hdr, 0, sizeof hdr);
    ssize_t r = recv(sd, &hdr, KIV_MSG_HDR_LEN, MSG_PEEK);
    if (r == KIV_MSG_HDR_LEN) break;
    if (r == -1 && errno == EINTR) {
      KIV_LOG("%s: recv peek broken(ret:%d, err:%d,%s)!\n", kName, static_cast<int>(r), errno,
              strerror(errno));
      continue;
    }
    KIV_LOG("%s: recv peek err(ret:%d, err:%d,%s)!\n", kName, static_cast<int>(r), errno,
            strerror(errno));
    return -1;
  }
  if (hdr.msg_len < 0 || hdr.msg_len > kiv::kMaxRecvPayload) {
    KIV_LOG("recv domain msg with len=%d\r\n", hdr.msg_len);
    return -1;
  }
  const size_t total = KIV_MSG_HDR_LEN + static_cast<size_t>(hdr.msg_len);
  const bool on_heap = total > small_len;
  auto* msg = static_cast<kiv_msg*>(on_heap ? safe_malloc(total) : small);
  for (;;) {
    ssize_t r = recv(sd, msg, total, 0);
    if (r == static_cast<ssize_t>(total)) {
      *out = msg;
      return 0;
    }
    if (r == -1 && errno == EINTR) {
      KIV_LOG("%s: recv broken(ret:%d, err:%d,%s)!\n", kName, static_cast<int>(r), errno,
              strerror(errno));
      continue;
    }
    if (on_heap) {
      kiv::ErrnoRestorer keep_errno;
      free(msg);
    }
    KIV_LOG("%s: recv err(ret:%d, err:%d,%s)!\n", kName, static_cast<int>(r), errno,
            strerror(errno));
    return -1;
  }
}

extern "C" int kiv_inner_recv_msg(int sd, kiv_msg** out) {
  static constexpr char kName[] = "kiv_inner_recv_msg";
  if (sd < 0 || out == nullptr) {
    KIV_LOG("%s: argument err(sd:%d, msg:%p)!\n", kName, sd, static_cast<void*>(out));
    return -1;
  }
  // The caller owns and frees what it receives: always a heap block.
  return kiv::recv_frame(sd, nullptr, 0, out);
}
