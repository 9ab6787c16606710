// The test peer and the fast clock (see peer.h). The clock's sleep(),
// select() and poll() come before libc's (and a sanitizer's interceptors)
// for the library's calls; other callers, and every call while the clock
// runs at normal speed, get the next definition (RTLD_NEXT).
#include "kiv_xtach/peer.h"

#include <dlfcn.h>
#include <poll.h>
#include <string.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "kiv_rpc.h"

namespace kiv::test {
namespace {

void send_ack(int sd) {
  const kiv_msg ack = {};
  (void)send(sd, &ack, KIV_MSG_HDR_LEN, MSG_NOSIGNAL | MSG_DONTWAIT);
}

}  // namespace

Peer::Peer(PeerMode mode) : mode_(mode) {
  const struct sockaddr_un addr = {AF_UNIX, KIV_SOCK_PATH};
  (void)mkdir("/tmp/kiv", 0755);
  (void)unlink(KIV_SOCK_PATH);
  listen_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (bind(listen_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 || listen(listen_, 256) != 0) abort();
  thread_ = std::thread([this] { serve(); });
}

Peer::~Peer() {
  stop_ = true;
  thread_.join();
  for (int sd : conns_) close(sd);
  close(listen_);
  (void)unlink(KIV_SOCK_PATH);
}

void Peer::serve() {
  uint8_t buf[1 << 16];
  while (!stop_) {
    std::vector<pollfd> pfds = {{listen_, POLLIN, 0}};
    {
      std::lock_guard<std::mutex> lock(mu_);
      for (int sd : conns_) pfds.push_back({sd, POLLIN, 0});  // poll() skips the closed ones (-1)
    }
    if (poll(pfds.data(), pfds.size(), 10) <= 0) continue;
    std::lock_guard<std::mutex> lock(mu_);
    if (pfds[0].revents != 0) conns_.push_back(accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC));
    for (size_t i = 1; i < pfds.size(); ++i) {
      if (pfds[i].revents == 0) continue;
      const ssize_t n = recv(pfds[i].fd, buf, sizeof buf, 0);
      if (n > 0) frames_.push_back({static_cast<int>(i), std::vector<uint8_t>(buf, buf + n)}), cv_.notify_all();
      if (n > 0 && mode_ == PeerMode::kAck) {
        send_ack(pfds[i].fd);
      } else if (n <= 0 || mode_ == PeerMode::kClose) {
        close(pfds[i].fd);
        conns_[i - 1] = -1;
      }
    }
  }
}

std::optional<Frame> Peer::next_frame(int timeout_ms) {
  std::unique_lock<std::mutex> lock(mu_);
  if (!cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [this] { return !frames_.empty(); })) return {};
  Frame f = std::move(frames_.front());
  frames_.pop_front();
  return f;
}

std::vector<Frame> Peer::frames_within(int settle_ms) {
  std::vector<Frame> out;
  while (auto f = next_frame(settle_ms)) out.push_back(std::move(*f));
  return out;
}

void Peer::answer(int conn) {
  std::lock_guard<std::mutex> lock(mu_);
  if (conn <= static_cast<int>(conns_.size())) send_ack(conns_[conn - 1]);
}

}  // namespace kiv::test

namespace {

constexpr int kMaxNotes = 1024, kLongestPollMs = 50;
std::atomic<bool> g_fast{false};
std::atomic<int> g_count{0};
int g_notes[kMaxNotes];  // milliseconds; negative for a poll

bool from_library(const void* caller) {
  Dl_info info;
  return g_fast && dladdr(caller, &info) != 0 && info.dli_fname != nullptr && strstr(info.dli_fname, "/libkiv.so");
}
void note(long ms) {
  if (const int i = g_count++; i < kMaxNotes) g_notes[i] = static_cast<int>(ms);
}
template <typename Fn>
Fn next(const char* name) {
  return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

}  // namespace

void kiv::test::fast_clock(bool on) { g_fast = on, g_count = 0; }

std::string kiv::test::pauses() {
  const int n = std::min(g_count.exchange(0), kMaxNotes);
  std::string out;
  for (int i = 0, run = 1; i < n; i += run) {
    for (run = 1; i + run < n && g_notes[i + run] == g_notes[i];) ++run;
    out += (out.empty() ? "" : " ") + std::string(g_notes[i] < 0 ? "poll" : "sleep") +
           std::to_string(abs(g_notes[i])) + (run > 1 ? "x" + std::to_string(run) : "");
  }
  return out;
}

extern "C" unsigned int sleep(unsigned int seconds) {
  if (!from_library(__builtin_return_address(0))) return next<unsigned (*)(unsigned)>("sleep")(seconds);
  note(1000L * seconds);
  return 0;
}

extern "C" int select(int n, fd_set* r, fd_set* w, fd_set* e, struct timeval* tv) {
  if (n != 0 || tv == nullptr || !from_library(__builtin_return_address(0)))
    return next<int (*)(int, fd_set*, fd_set*, fd_set*, struct timeval*)>("select")(n, r, w, e, tv);
  note(tv->tv_sec * 1000L + tv->tv_usec / 1000);
  tv->tv_sec = tv->tv_usec = 0;
  return 0;
}

extern "C" int poll(struct pollfd* fds, nfds_t n, int timeout_ms) {
  const auto real = next<int (*)(struct pollfd*, nfds_t, int)>("poll");
  if (timeout_ms <= kLongestPollMs || !from_library(__builtin_return_address(0))) return real(fds, n, timeout_ms);
  const int r = real(fds, n, kLongestPollMs);
  if (r == 0) note(-timeout_ms);
  return r;
}
