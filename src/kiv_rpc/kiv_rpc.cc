// The one road to the Manager: frame a request, send it over the process's
// cached control socket, and wait a bounded time for the acknowledgement.
#include "kiv_rpc.h"

#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include "base/log.h"
#include "base/mutex_lock.h"
#include "base/unique_fd.h"
#include "kiv_rpc/msg_io.h"
#include "kiv_utils.h"
#include "kiv_utils/fork_local.h"

namespace kiv {
namespace {

constexpr char kLogModule[] = "kiv_rpc";
constexpr int kConnectRetries = 5;  // after the first attempt: 6 in all
constexpr int kAckPollMs = 1000;
constexpr int kAckPolls = 5;
constexpr int kRoomWaitMs = 1000;       // a full send queue is waited for this long
constexpr int kSendBufLen = 1 << 20;    // asked for; see kiv_connect
constexpr size_t kSmallFrameLen = 4096;  // a page: requests up to it stay off the heap
constexpr size_t kAckFrameLen = 1024;    // acknowledgements are a bare header

// Guarded by the RPC lock (ForkLocal::rpc_lock), which is held for a whole
// call, so the frames of two calls never interleave on the socket. The lock
// lives in the fork-local page: a thread of the parent may hold it, for
// seconds, at the moment another forks.
constinit int kiv_rpc_sd = -1;
// -1 not yet known, 0 this process is the Manager, 1 it is not.
constinit int kiv_process_is = -1;

class FreeOnExit {
 public:
  explicit FreeOnExit(void* p) : p_(p) {}
  ~FreeOnExit() {
    ErrnoRestorer keep_errno;
    free(p_);
  }
  FreeOnExit(const FreeOnExit&) = delete;
  FreeOnExit& operator=(const FreeOnExit&) = delete;

 private:
  void* p_;
};

int gettid_int() { return static_cast<int>(syscall(SYS_gettid)); }

void drop_socket() {
  unique_fd closing(kiv_rpc_sd);
  kiv_rpc_sd = -1;
}

// 0 when this process runs the Manager's executable, 1 when not, -1 when
// that cannot be told (then nothing is cached).
int kiv_check_thread() {
  if (kiv_process_is != -1) return kiv_process_is;
  char link[32];
  char exe[256] = {};
  snprintf(link, sizeof link, "/proc/%d/exe", getpid());
  ssize_t n = readlink(link, exe, sizeof exe - 1);
  if (n <= 0) return -1;
  const char* slash = strrchr(exe, '/');
  if (slash == nullptr) return -1;
  char base[32] = {};
  strncpy(base, slash + 1, sizeof base - 1);
  kiv_process_is = strcmp(base, KIV_MANAGER_NAME) == 0 ? 0 : 1;
  return kiv_process_is;
}

// Data pending on an idle connection is either a late acknowledgement of an
// earlier call or the Manager's hang-up: either way the connection is spent.
// The same poll tells whether the send queue has room: true when the
// connection is kept but more than a quarter of its send buffer is in use.
bool kiv_check_socket() {
  if (kiv_rpc_sd < 0) return false;
  struct pollfd pfd = {kiv_rpc_sd, POLLIN | POLLERR | POLLOUT, 0};
  int r = poll(&pfd, 1, 0);
  if (r == 0) return true;
  if (r > 0 && (pfd.revents & ~POLLOUT) == 0) return false;
  if (r < 0) {
    KIV_LOG("%s: poll fail(ret:%d, err:%d,%s)\n", "kiv_check_socket", r, errno, strerror(errno));
  }
  KIV_LOG("kiv_check_socket <0: pid=%d, tid=%ld\r\n", getpid(), static_cast<long>(gettid_int()));
  drop_socket();
  return false;
}

// A send that meets a full queue fails at once (kiv_inner_send_msg), and
// the connection and the frame are lost with it. A queue that the Manager
// is still draining gets a bounded wait instead: for a SOCK_SEQPACKET
// socket POLLOUT means a quarter of the send buffer or less is in use.
void kiv_wait_for_room() {
  struct pollfd pfd = {kiv_rpc_sd, POLLOUT, 0};
  (void)poll(&pfd, 1, kRoomWaitMs);
}

// Connects kiv_rpc_sd; returns 0, or -1 when the Manager cannot be reached.
int kiv_connect() {
  static constexpr char kName[] = "kiv_connect";
  unique_fd sd(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
  if (!sd.ok()) {
    KIV_LOG("%s: socket fail: %s\n", kName, strerror(errno));
    KIV_LOG("%s: connect fail(ret:%d)\n", kName, -1);
    return -1;
  }
  struct sockaddr_un addr;
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  strncpy(addr.sun_path, KIV_SOCK_PATH, sizeof addr.sun_path - 1);
  const socklen_t addr_len = sizeof addr.sun_family + strlen(addr.sun_path);
  int retry = 0;
  while (connect(sd.get(), reinterpret_cast<const struct sockaddr*>(&addr), addr_len) != 0) {
    int err = errno;
    KIV_LOG("%s: connect refused, wait and retry(sd:%d, retry:%d, err:%d,%s)\n", kName, sd.get(),
            retry, err, strerror(err));
    // Only a Manager that is (re)starting is waited for: the socket file
    // missing, or present with nobody listening yet.
    if (retry == kConnectRetries || (err != ECONNREFUSED && err != ENOENT)) {
      sd.reset();
      KIV_LOG("%s: connect fail(ret:%d)\n", kName, -1);
      return -1;
    }
    ++retry;
    sleep(1);
  }
  // One-way requests (heartbeats) may be sent faster than the Manager
  // takes them: room for a burst before a send has to wait for room. The
  // kernel caps the size at net.core.wmem_max.
  int send_buf = kSendBufLen;
  (void)setsockopt(sd.get(), SOL_SOCKET, SO_SNDBUF, &send_buf, sizeof send_buf);
  kiv_rpc_sd = sd.release();
  return 0;
}

// 0 when the acknowledgement came or the wait ran out; -1 when the
// connection failed while waiting.
int kiv_wait_msg_ack_timeout() {
  static constexpr char kName[] = "kiv_wait_msg_ack_timeout";
  for (int i = 0; i < kAckPolls; ++i) {
    struct pollfd pfd = {kiv_rpc_sd, POLLIN, 0};
    int r = poll(&pfd, 1, kAckPollMs);
    if (r == 0) continue;
    if (r < 0) {
      KIV_LOG("%s: poll fail(ret:%d, err:%d,%s)\n", kName, r, errno, strerror(errno));
      return -1;
    }
    if ((pfd.revents & POLLIN) == 0) return -1;
    alignas(kiv_msg) unsigned char small[kAckFrameLen];
    kiv_msg* ack = nullptr;
    if (recv_frame(kiv_rpc_sd, small, sizeof small, &ack) != 0) return -1;
    if (ack != reinterpret_cast<kiv_msg*>(small)) free(ack);
    return 0;
  }
  return 0;
}

}  // namespace
}  // namespace kiv

extern "C" int kiv_rpc(uint32_t type, const char* name, const void* data, uint32_t len,
                       uint8_t need_ack, uint8_t ignore_conn_err) {
  using namespace kiv;
  static constexpr char kName[] = "kiv_rpc";
  const int32_t payload_len = static_cast<int32_t>(len);
  if ((data == nullptr && len != 0) || payload_len < 0) {
    KIV_LOG("%s: argument err!\n", kName);
    return -1;
  }
  if (kiv_get_proc_status() == 0) {
    KIV_LOG("%s: kiv process exit, function return.\n", kName);
    return 0;
  }
  const size_t total = KIV_MSG_HDR_LEN + static_cast<size_t>(payload_len);
  // Requests that fit a page, every one the library itself sends, are built
  // on the stack: a call then makes no heap call at all.
  alignas(kiv_msg) unsigned char small[kSmallFrameLen];
  kiv_msg* msg = reinterpret_cast<kiv_msg*>(small);
  if (total <= sizeof small) {
    memset(small, 0, total);
  } else {
    msg = static_cast<kiv_msg*>(calloc(total, 1));
    if (msg == nullptr) {
      KIV_LOG("%s: malloc fail: %s\n", kName, strerror(errno));
      return -1;
    }
  }
  FreeOnExit free_msg(msg != reinterpret_cast<kiv_msg*>(small) ? msg : nullptr);
  if (name != nullptr) strncpy(msg->msg_name, name, KIV_MSG_NAME_LEN - 1);
  msg->msg_type = type;
  msg->msg_len = payload_len;
  if (len != 0) memcpy(msg->msg_data, data, len);

  ForkLocal* local = fork_local();
  if (local == nullptr) {
    KIV_LOG("%s: no fork-local page: %s\n", kName, strerror(errno));
    return -1;
  }
  MutexLock lock(&local->rpc_lock);
  if (local->rpc_socket_settled == 0) {
    // A new process: a descriptor still cached is its parent's connection,
    // on which the Manager would take this process's requests for the
    // parent's. The child closes only its own copy of it.
    drop_socket();
    local->rpc_socket_settled = 1;
  }
  if ((type == KIV_MSG_THREAD_REG || type == KIV_MSG_CANCEL) && kiv_check_thread() == 0) {
    KIV_LOG("%s: thread of kiv, function return.\n", kName);
    return 0;
  }
  if (kiv_check_socket()) kiv_wait_for_room();
  if (kiv_rpc_sd < 0 && kiv_connect() != 0) return ignore_conn_err == 1 ? 0 : -1;

  int r = kiv_inner_send_msg(kiv_rpc_sd, msg);
  if (r != 0) {
    KIV_LOG("%s: send fail(ret:%d, err:%d,%s)\n", kName, r, errno, strerror(errno));
    drop_socket();
    return -1;
  }
  if (!need_ack) return 0;
  r = kiv_wait_msg_ack_timeout();
  if (r != 0) {
    KIV_LOG("%s: recv ack err(ret:%d, err:%d,%s)\n", kName, r, errno, strerror(errno));
    drop_socket();
    return -1;
  }
  return 0;
}
