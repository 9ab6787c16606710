// A real peer on the Manager's control socket for tests: a child process
// that listens on the socket path (SOCK_SEQPACKET), records every packet
// byte for byte, and answers as told: acknowledge at once, stay silent,
// acknowledge late, or close the connection.
#pragma once

#include <stdint.h>
#include <sys/types.h>

#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "kiv_comp_config.h"

namespace kiv::test {

enum class PeerMode { kAck, kSilent, kLateAck, kClose };

struct Frame {
  int conn = 0;  // which accepted connection (1, 2, ...) sent it
  std::vector<uint8_t> bytes;

  uint32_t type() const;
  int32_t len() const;
  std::string name() const;                    // msg_name up to its NUL
  std::vector<uint8_t> payload() const;        // bytes after the header
};

class Peer {
 public:
  explicit Peer(PeerMode mode = PeerMode::kAck, int late_ms = 6000,
                std::string path = KIV_SOCK_PATH);
  ~Peer();
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  // Changes how later packets are answered.
  void set_mode(PeerMode mode, int late_ms = 6000);
  // The next packet received, waiting up to timeout_ms.
  std::optional<Frame> next_frame(int timeout_ms = 3000);
  // Every packet received until none has come for settle_ms.
  std::vector<Frame> frames_within(int settle_ms);
  // Connections accepted so far, once no news has come for settle_ms.
  int connections(int settle_ms = 50);
  // Sends raw bytes as one packet on accepted connection conn.
  void send_raw(int conn, const std::vector<uint8_t>& bytes);
  // Stops the peer process and removes the socket file (also done at
  // destruction); a later client connect finds nobody.
  void stop();
  pid_t pid() const { return pid_; }

 private:
  bool pump(int timeout_ms);

  std::string path_;
  pid_t pid_ = -1;
  int ctl_ = -1;
  int connections_ = 0;
  std::deque<Frame> frames_;
};

}  // namespace kiv::test
