// Frames of the control socket as the daemon sees them: validation of an
// untrusted packet, the acknowledgement rule, and the payload records.
// The encoders build the same bytes a client sends; tests, the benchmark
// and the tools use them to speak the protocol without the library.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "kiv_rpc.h"
#include "kiv_sys_alive.h"
#include "kiv_xtach.h"

namespace kiv::manager {

constexpr size_t kHeaderLen = KIV_MSG_HDR_LEN;
constexpr size_t kRecordLen = sizeof(kiv_exit_action_rec);  // also kiv_thread_notify_rec's size
constexpr size_t kCancelLen = sizeof(kiv_cancel_req);
constexpr size_t kTagOffset = offsetof(kiv_exit_action_rec, name);  // the "test-N" tag
constexpr size_t kTagLen = KIV_REC_NAME_LEN;
static_assert(sizeof(kiv_thread_notify_rec) == kRecordLen, "one record size for types 1 to 4");
// Receive buffer: the largest valid packet is a header and a record, so a
// packet that does not fit is refused whatever its header claims.
constexpr size_t kMaxPacket = kHeaderLen + 1024;

constexpr int32_t kAliveIdLimit = KIV_ALIVE_PID_MAX;  // ids from here on beat by message

enum class FrameCheck {
  kOk,
  kShort,           // fewer bytes than a header
  kNegativeLength,  // msg_len < 0
  kLengthMismatch,  // header + msg_len is not the packet's size
  kPayloadSize,     // the payload is not the size its type carries
};
const char* frame_check_text(FrameCheck c);

struct Frame {
  uint32_t type = 0;
  int32_t len = 0;
  char name[KIV_MSG_NAME_LEN] = {};  // always NUL-terminated
  const uint8_t* payload = nullptr;  // len bytes, inside the caller's packet
};

// Validates a packet of packet_len bytes (its true size, even when only the
// first min(packet_len, kMaxPacket) bytes were stored in buf) and fills out.
FrameCheck parse_frame(const uint8_t* buf, size_t packet_len, Frame* out);

// Types 3 and 5 are always acknowledged, type 4 (a heartbeat, sent without
// waiting) never; every other type exactly when its tag bytes are all zero:
// the acknowledged registration leaves them zero, while the shell
// registration and the time value put a name there and wait for nothing.
bool needs_ack(const Frame& f);

enum class RequestKind {
  kRestart,         // type 1
  kShellRestart,    // type 2
  kTimeValue,       // any other type carrying a time value for a pid
  kThreadRegister,  // type 3
  kThreadBeat,      // type 4
  kCancel,          // type 5
  kOtherAction,     // an exit action of a type the daemon does not know
};
RequestKind classify(const Frame& f);

struct ExitAction {
  int32_t pid = 0;
  int32_t vsd = 0;
  uint32_t time = 0;
  char cmdline[KIV_CMDLINE_LEN] = {};  // always NUL-terminated
  bool tagged = false;     // some byte of 288..319 is not zero
};
struct ThreadNotify {
  int32_t tid = 0;
  int32_t pid = 0;
  int32_t period = 0;  // watch_param1: seconds between samples
  int32_t param2 = 0;
  int32_t window = 0;  // watch_param3: seconds without progress that make a hang
};
struct CancelReq {
  uint32_t kind = 0;  // KIV_CANCEL_PROCESS or KIV_CANCEL_THREAD
  int32_t id = 0;
};

// Decoders read a payload whose size parse_frame() has checked.
ExitAction decode_exit_action(const uint8_t* payload);
ThreadNotify decode_thread_notify(const uint8_t* payload);
CancelReq decode_cancel(const uint8_t* payload);

// Encoders.
std::vector<uint8_t> make_frame(uint32_t type, const std::string& name, const std::vector<uint8_t>& payload);
std::vector<uint8_t> make_exit_action(int32_t pid, int32_t vsd, const std::string& cmdline,
                                      uint32_t time = 0, const std::string& tag = "");
std::vector<uint8_t> make_thread_notify(int32_t tid, int32_t pid, int32_t period, int32_t window);
std::vector<uint8_t> make_cancel(uint32_t kind, int32_t id);

}  // namespace kiv::manager
