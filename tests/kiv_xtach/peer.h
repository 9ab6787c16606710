// What the registration and RPC tests share: a real peer on the Manager's
// control socket, a Manager that cannot be reached, and the fast clock.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "frame.h"
#include "support/files.h"

namespace kiv::test {

// How the peer answers each packet: acknowledge at once, stay silent, or
// hang up.
enum class PeerMode { kAck, kSilent, kClose };

struct Frame {
  int conn = 0;  // which accepted connection (1, 2, ...) sent it
  std::vector<uint8_t> bytes;
};

// A thread that listens on KIV_SOCK_PATH (SOCK_SEQPACKET) and records every
// packet byte for byte.
class Peer {
 public:
  explicit Peer(PeerMode mode);
  ~Peer();
  std::optional<Frame> next_frame(int timeout_ms = 3000);
  std::vector<Frame> frames_within(int settle_ms);  // until none came for settle_ms
  void answer(int conn);                            // an acknowledgement on connection conn

 private:
  void serve();
  const PeerMode mode_;
  int listen_ = -1;
  std::atomic<bool> stop_{false};
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<int> conns_;  // the socket of connection i + 1; -1 once closed
  std::deque<Frame> frames_;
  std::thread thread_;
};

// Makes every connect to the Manager fail at once (ENOTDIR): the socket's
// directory is a plain file. Undone by removing the file.
inline void block_manager_socket() { remove_tree("/tmp/kiv"), write_file("/tmp/kiv"); }

// While the fast clock runs (children inherit it), the library's sleep() and
// select() (safe_sleep) return at once and its poll() waits at most 50 ms
// (enough for a peer of the test); pauses() tells what they would have
// waited, runs counted: "poll1000x5 sleep1000" (ms; a poll that ran out).
void fast_clock(bool on);  // on or off: the notes start again
std::string pauses();

}  // namespace kiv::test
