// The test peer (see peer.h).
#include "support/peer.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "kiv_rpc.h"

namespace kiv::test {

uint32_t Frame::type() const { return bytes.size() >= 4 ? bytes[0] | bytes[1] << 8 | bytes[2] << 16 | bytes[3] << 24 : 0; }
std::string Frame::name() const {
  const char* name = reinterpret_cast<const char*>(bytes.data()) + offsetof(kiv_msg, msg_name);
  return bytes.size() < KIV_MSG_HDR_LEN ? "" : std::string(name, strnlen(name, KIV_MSG_NAME_LEN));
}
std::vector<uint8_t> Frame::payload() const {
  return std::vector<uint8_t>(bytes.begin() + std::min<size_t>(KIV_MSG_HDR_LEN, bytes.size()), bytes.end());
}

Peer::Peer(PeerMode mode, const std::string& path) : path_(path), mode_(mode) {
  (void)mkdir(path_.substr(0, path_.rfind('/')).c_str(), 0755);
  (void)unlink(path_.c_str());
  struct sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  strncpy(addr.sun_path, path_.c_str(), sizeof addr.sun_path - 1);
  listen_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (bind(listen_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(listen_, 256) != 0 ||
      pipe2(wake_, O_CLOEXEC) != 0)
    abort();
  thread_ = std::thread([this] { serve(); });
}

Peer::~Peer() {
  (void)!write(wake_[1], "x", 1);
  thread_.join();
  for (auto [conn, sd] : conns_) close(sd);
  for (int fd : {listen_, wake_[0], wake_[1]}) close(fd);
  (void)unlink(path_.c_str());
}

void Peer::serve() {
  std::vector<uint8_t> buf(1 << 20);
  for (;;) {
    std::vector<pollfd> pfds = {{wake_[0], POLLIN, 0}, {listen_, POLLIN, 0}};
    std::vector<int> ids = {0, 0};
    {
      std::lock_guard<std::mutex> lock(mu_);
      for (auto [conn, sd] : conns_) pfds.push_back({sd, POLLIN, 0}), ids.push_back(conn);
    }
    if (poll(pfds.data(), pfds.size(), -1) < 0) continue;
    if (pfds[0].revents != 0) return;
    std::lock_guard<std::mutex> lock(mu_);
    if (pfds[1].revents != 0) {
      const int sd = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
      if (sd >= 0) conns_[++accepted_] = sd;
      if (mode_ == PeerMode::kSlow) usleep(300 * 1000);
    }
    for (size_t i = 2; i < pfds.size(); ++i) {
      if (pfds[i].revents == 0) continue;
      const ssize_t n = recv(pfds[i].fd, buf.data(), buf.size(), 0);
      if (n > 0) frames_.push_back({ids[i], std::vector<uint8_t>(buf.begin(), buf.begin() + n)}), cv_.notify_all();
      const kiv_msg ack = {};
      if (n > 0 && mode_ == PeerMode::kAck) {
        (void)send(pfds[i].fd, &ack, KIV_MSG_HDR_LEN, MSG_NOSIGNAL | MSG_DONTWAIT);
      } else if (n <= 0 || mode_ == PeerMode::kClose) {
        close(pfds[i].fd);
        conns_.erase(ids[i]);
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
  const kiv_msg ack = {};
  if (conns_.count(conn) != 0) (void)send(conns_[conn], &ack, KIV_MSG_HDR_LEN, MSG_NOSIGNAL);
}

}  // namespace kiv::test
