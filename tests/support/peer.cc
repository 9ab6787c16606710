// The test peer (see peer.h).
#include "support/peer.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <stdexcept>

#include "kiv_rpc.h"
#include "support/child.h"

namespace kiv::test {
namespace {

enum : uint8_t { kEvConnect = 'C', kEvFrame = 'F', kEvReady = 'R' };
enum : uint8_t { kCmdMode = 'M', kCmdSend = 'S' };
constexpr size_t kMaxPacket = 1 << 20;

void put_i32(std::vector<uint8_t>& v, int32_t x) {
  const auto* p = reinterpret_cast<const uint8_t*>(&x);
  v.insert(v.end(), p, p + 4);
}

int32_t get_i32(const uint8_t* p) {
  int32_t x;
  memcpy(&x, p, sizeof x);
  return x;
}

// The header of a packet at least as long as one; zero beyond a short one.
kiv_msg header_of(const std::vector<uint8_t>& bytes) {
  kiv_msg hdr;
  memset(&hdr, 0, sizeof hdr);
  memcpy(&hdr, bytes.data(), bytes.size() < sizeof hdr ? bytes.size() : sizeof hdr);
  return hdr;
}

struct PendingAck {
  int64_t due;
  int conn;
  uint32_t type;
};

[[noreturn]] void serve(int ctl, const std::string& path, PeerMode mode, int late_ms) {
  std::string dir = path.substr(0, path.rfind('/'));
  (void)mkdir(dir.c_str(), 0755);
  (void)unlink(path.c_str());
  int lsd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  struct sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  if (lsd < 0 || bind(lsd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(lsd, 256) != 0) {
    _exit(2);
  }
  uint8_t ready = kEvReady;
  (void)send(ctl, &ready, 1, MSG_NOSIGNAL);

  std::map<int, int> conns;  // conn id -> socket
  std::vector<PendingAck> acks;
  // Events wait here until the test reads them: the peer never blocks on
  // the test, which may be busy waiting for an acknowledgement.
  std::deque<std::vector<uint8_t>> outbox;
  auto report = [&](std::vector<uint8_t> ev) { outbox.push_back(std::move(ev)); };
  std::vector<uint8_t> buf(kMaxPacket);
  int next_conn = 1;
  auto ack = [&](int conn, uint32_t type) {
    auto it = conns.find(conn);
    if (it == conns.end()) return;
    kiv_msg hdr = {};
    hdr.msg_type = type;
    (void)send(it->second, &hdr, KIV_MSG_HDR_LEN, MSG_NOSIGNAL | MSG_DONTWAIT);
  };
  for (;;) {
    while (!outbox.empty() &&
           send(ctl, outbox.front().data(), outbox.front().size(), MSG_NOSIGNAL | MSG_DONTWAIT) >= 0) {
      outbox.pop_front();
    }
    const short ctl_events = static_cast<short>(POLLIN | (outbox.empty() ? 0 : POLLOUT));
    std::vector<pollfd> pfds = {{ctl, ctl_events, 0}, {lsd, POLLIN, 0}};
    std::vector<int> ids = {0, 0};
    for (auto [id, sd] : conns) {
      pfds.push_back({sd, POLLIN, 0});
      ids.push_back(id);
    }
    int timeout = -1;
    for (const auto& a : acks) {
      int64_t left = a.due - monotonic_ms();
      timeout = timeout < 0 ? static_cast<int>(left < 0 ? 0 : left)
                            : std::min(timeout, static_cast<int>(left < 0 ? 0 : left));
    }
    if (poll(pfds.data(), pfds.size(), timeout) < 0 && errno != EINTR) _exit(3);
    for (size_t i = 0; i < acks.size();) {
      if (acks[i].due <= monotonic_ms()) {
        ack(acks[i].conn, acks[i].type);
        acks.erase(acks.begin() + static_cast<long>(i));
      } else {
        ++i;
      }
    }
    if (pfds[0].revents & (POLLIN | POLLHUP)) {
      ssize_t n = recv(ctl, buf.data(), buf.size(), 0);
      if (n <= 0) _exit(0);
      if (buf[0] == kCmdMode && n >= 9) {
        mode = static_cast<PeerMode>(get_i32(&buf[1]));
        late_ms = get_i32(&buf[5]);
      } else if (buf[0] == kCmdSend && n >= 5) {
        auto it = conns.find(get_i32(&buf[1]));
        if (it != conns.end()) (void)send(it->second, &buf[5], static_cast<size_t>(n - 5), MSG_NOSIGNAL);
      }
    }
    if (pfds[1].revents & POLLIN) {
      int sd = accept4(lsd, nullptr, nullptr, SOCK_CLOEXEC);
      if (sd >= 0) {
        int id = next_conn++;
        conns[id] = sd;
        std::vector<uint8_t> ev = {kEvConnect};
        put_i32(ev, id);
        report(std::move(ev));
      }
    }
    for (size_t i = 2; i < pfds.size(); ++i) {
      if (!(pfds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      const int id = ids[i];
      ssize_t n = recv(pfds[i].fd, buf.data(), buf.size(), 0);
      if (n <= 0) {
        close(pfds[i].fd);
        conns.erase(id);
        continue;
      }
      std::vector<uint8_t> ev = {kEvFrame};
      put_i32(ev, id);
      ev.insert(ev.end(), buf.begin(), buf.begin() + n);
      report(std::move(ev));
      uint32_t type = 0;
      if (n >= static_cast<ssize_t>(sizeof type)) memcpy(&type, buf.data() + offsetof(kiv_msg, msg_type), sizeof type);
      switch (mode) {
        case PeerMode::kAck: ack(id, type); break;
        case PeerMode::kSilent: break;
        case PeerMode::kLateAck: acks.push_back({monotonic_ms() + late_ms, id, type}); break;
        case PeerMode::kClose:
          close(pfds[i].fd);
          conns.erase(id);
          break;
      }
    }
  }
}

}  // namespace

uint32_t Frame::type() const { return header_of(bytes).msg_type; }
int32_t Frame::len() const {
  return bytes.size() >= offsetof(kiv_msg, msg_name) ? header_of(bytes).msg_len : -1;
}
std::string Frame::name() const {
  if (bytes.size() < KIV_MSG_HDR_LEN) return {};
  const kiv_msg hdr = header_of(bytes);
  return std::string(hdr.msg_name, strnlen(hdr.msg_name, KIV_MSG_NAME_LEN));
}
std::vector<uint8_t> Frame::payload() const {
  if (bytes.size() <= KIV_MSG_HDR_LEN) return {};
  return std::vector<uint8_t>(bytes.begin() + KIV_MSG_HDR_LEN, bytes.end());
}

Peer::Peer(PeerMode mode, int late_ms, std::string path) : path_(std::move(path)) {
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv) != 0) abort();
  fflush(nullptr);
  pid_ = fork();
  if (pid_ == 0) {
    close(sv[0]);
    serve(sv[1], path_, mode, late_ms);
  }
  close(sv[1]);
  ctl_ = sv[0];
  struct pollfd pfd = {ctl_, POLLIN, 0};
  uint8_t ev = 0;
  if (poll(&pfd, 1, 5000) != 1 || recv(ctl_, &ev, 1, 0) != 1 || ev != kEvReady) {
    fprintf(stderr, "test peer did not start on %s\n", path_.c_str());
    abort();
  }
}

Peer::~Peer() { stop(); }

void Peer::stop() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    (void)unlink(path_.c_str());
  }
  if (ctl_ >= 0) {
    close(ctl_);
    ctl_ = -1;
  }
}

void Peer::set_mode(PeerMode mode, int late_ms) {
  std::vector<uint8_t> cmd = {kCmdMode};
  put_i32(cmd, static_cast<int32_t>(mode));
  put_i32(cmd, late_ms);
  (void)send(ctl_, cmd.data(), cmd.size(), MSG_NOSIGNAL);
}

void Peer::send_raw(int conn, const std::vector<uint8_t>& bytes) {
  std::vector<uint8_t> cmd = {kCmdSend};
  put_i32(cmd, conn);
  cmd.insert(cmd.end(), bytes.begin(), bytes.end());
  (void)send(ctl_, cmd.data(), cmd.size(), MSG_NOSIGNAL);
}

// Takes one event from the peer process; false when none came in time.
bool Peer::pump(int timeout_ms) {
  if (ctl_ < 0) return false;
  struct pollfd pfd = {ctl_, POLLIN, 0};
  if (poll(&pfd, 1, timeout_ms) != 1) return false;
  std::vector<uint8_t> buf(kMaxPacket + 8);
  ssize_t n = recv(ctl_, buf.data(), buf.size(), 0);
  if (n < 5) return false;
  if (buf[0] == kEvConnect) {
    ++connections_;
  } else if (buf[0] == kEvFrame) {
    frames_.push_back({get_i32(&buf[1]), std::vector<uint8_t>(buf.begin() + 5, buf.begin() + n)});
  }
  return true;
}

std::optional<Frame> Peer::next_frame(int timeout_ms) {
  const int64_t deadline = monotonic_ms() + timeout_ms;
  while (frames_.empty()) {
    int64_t left = deadline - monotonic_ms();
    if (left < 0 || !pump(static_cast<int>(left))) {
      if (frames_.empty()) return std::nullopt;
    }
  }
  Frame f = std::move(frames_.front());
  frames_.pop_front();
  return f;
}

std::vector<Frame> Peer::frames_within(int settle_ms) {
  while (pump(settle_ms)) {
  }
  std::vector<Frame> out(frames_.begin(), frames_.end());
  frames_.clear();
  return out;
}

int Peer::connections(int settle_ms) {
  while (pump(settle_ms)) {
  }
  return connections_;
}

}  // namespace kiv::test
