// A real peer on the Manager's control socket for tests: a thread that
// listens on the socket path (SOCK_SEQPACKET), records every packet byte for
// byte, and answers as told: acknowledge at once, stay silent, hang up, or
// stay silent after a pause of 300 ms on each new connection (a busy Manager).
#pragma once

#include <condition_variable>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "kiv_comp_config.h"

namespace kiv::test {

enum class PeerMode { kAck, kSilent, kClose, kSlow };

struct Frame {
  int conn = 0;  // which accepted connection (1, 2, ...) sent it
  std::vector<uint8_t> bytes;
  uint32_t type() const;
  std::string name() const;              // msg_name up to its NUL
  std::vector<uint8_t> payload() const;  // the bytes after the header
};

class Peer {
 public:
  explicit Peer(PeerMode mode = PeerMode::kAck, const std::string& path = KIV_SOCK_PATH);
  ~Peer();
  std::optional<Frame> next_frame(int timeout_ms = 3000);
  std::vector<Frame> frames_within(int settle_ms);  // until none came for settle_ms
  void answer(int conn);                            // an acknowledgement on connection conn

 private:
  void serve();
  std::string path_;
  int listen_ = -1, wake_[2] = {-1, -1}, accepted_ = 0;  // connections so far
  std::mutex mu_;
  std::condition_variable cv_;
  const PeerMode mode_;
  std::map<int, int> conns_;  // connection number -> socket
  std::deque<Frame> frames_;
  std::thread thread_;
};

}  // namespace kiv::test
