// Validation, classification and encoding of control-socket frames.
#include "frame.h"

#include <string.h>

namespace kiv::manager {

namespace {

// The payload records are read and written whole, by memcpy: the packet
// bytes carry no alignment promise.
template <typename Rec>
Rec record_of(const uint8_t* p) {
  Rec r;
  memcpy(&r, p, sizeof r);
  return r;
}

template <typename Rec>
std::vector<uint8_t> bytes_of(const Rec& r) {
  const auto* p = reinterpret_cast<const uint8_t*>(&r);
  return std::vector<uint8_t>(p, p + sizeof r);
}

// Copies text into a fixed field, cut so that a NUL always ends it.
void put_text(char* dst, size_t width, const std::string& text) {
  memcpy(dst, text.data(), text.size() < width ? text.size() : width - 1);
}

bool tag_is_zero(const uint8_t* payload) {
  for (size_t i = 0; i < kTagLen; ++i) {
    if (payload[kTagOffset + i] != 0) return false;
  }
  return true;
}

}  // namespace

const char* frame_check_text(FrameCheck c) {
  switch (c) {
    case FrameCheck::kOk: return "ok";
    case FrameCheck::kShort: return "shorter than a header";
    case FrameCheck::kNegativeLength: return "negative length";
    case FrameCheck::kLengthMismatch: return "length does not match the packet";
    case FrameCheck::kPayloadSize: return "payload size wrong for its type";
  }
  return "?";
}

FrameCheck parse_frame(const uint8_t* buf, size_t packet_len, Frame* out) {
  if (packet_len < kHeaderLen) return FrameCheck::kShort;
  kiv_msg hdr;
  memcpy(&hdr, buf, sizeof hdr);
  Frame f;
  f.type = hdr.msg_type;
  f.len = hdr.msg_len;
  if (f.len < 0) return FrameCheck::kNegativeLength;
  if (packet_len != kHeaderLen + static_cast<size_t>(f.len)) return FrameCheck::kLengthMismatch;
  const size_t want = f.type == KIV_MSG_CANCEL ? kCancelLen : kRecordLen;
  if (static_cast<size_t>(f.len) != want) return FrameCheck::kPayloadSize;
  memcpy(f.name, hdr.msg_name, KIV_MSG_NAME_LEN - 1);
  f.name[KIV_MSG_NAME_LEN - 1] = '\0';
  f.payload = buf + kHeaderLen;
  *out = f;
  return FrameCheck::kOk;
}

bool needs_ack(const Frame& f) {
  if (f.type == KIV_MSG_THREAD_REG || f.type == KIV_MSG_CANCEL) return true;
  if (f.type == KIV_MSG_THREAD_BEAT) return false;
  return tag_is_zero(f.payload);
}

RequestKind classify(const Frame& f) {
  switch (f.type) {
    case KIV_MSG_THREAD_REG: return RequestKind::kThreadRegister;
    case KIV_MSG_THREAD_BEAT: return RequestKind::kThreadBeat;
    case KIV_MSG_CANCEL: return RequestKind::kCancel;
    default: break;
  }
  // A time value carries the tag and nothing but pid and time: no command
  // line and no shell path. A registration always reads a command line.
  const bool tagged = !tag_is_zero(f.payload);
  if (tagged && f.payload[offsetof(kiv_exit_action_rec, cmdline)] == 0 && f.name[0] == '\0') return RequestKind::kTimeValue;
  if (f.type == KIV_MSG_RESTART) return RequestKind::kRestart;
  if (f.type == KIV_MSG_SHELL_RESTART) return RequestKind::kShellRestart;
  return RequestKind::kOtherAction;
}

ExitAction decode_exit_action(const uint8_t* p) {
  const auto r = record_of<kiv_exit_action_rec>(p);
  ExitAction a;
  a.pid = r.pid;
  a.vsd = r.vsd_id;
  a.time = r.time_val;
  memcpy(a.cmdline, r.cmdline, sizeof a.cmdline - 1);
  a.cmdline[sizeof a.cmdline - 1] = '\0';
  a.tagged = !tag_is_zero(p);
  return a;
}

ThreadNotify decode_thread_notify(const uint8_t* p) {
  const auto r = record_of<kiv_thread_notify_rec>(p);
  ThreadNotify t;
  t.tid = r.tid;
  t.pid = r.pid;
  t.period = r.watch_param1;
  t.param2 = r.watch_param2;
  t.window = r.watch_param3;
  return t;
}

CancelReq decode_cancel(const uint8_t* p) {
  const auto r = record_of<kiv_cancel_req>(p);
  return CancelReq{r.kind, r.id};
}

std::vector<uint8_t> make_frame(uint32_t type, const std::string& name, const std::vector<uint8_t>& payload) {
  kiv_msg hdr;
  memset(&hdr, 0, sizeof hdr);
  hdr.msg_type = type;
  hdr.msg_len = static_cast<int32_t>(payload.size());
  put_text(hdr.msg_name, sizeof hdr.msg_name, name);
  std::vector<uint8_t> v(sizeof hdr + payload.size());
  memcpy(v.data(), &hdr, sizeof hdr);
  if (!payload.empty()) memcpy(v.data() + sizeof hdr, payload.data(), payload.size());
  return v;
}

std::vector<uint8_t> make_exit_action(int32_t pid, int32_t vsd, const std::string& cmdline, uint32_t time,
                                      const std::string& tag) {
  kiv_exit_action_rec r;
  memset(&r, 0, sizeof r);
  r.pid = pid;
  r.vsd_id = vsd;
  r.time_val = time;
  put_text(r.cmdline, sizeof r.cmdline, cmdline);
  put_text(r.name, sizeof r.name, tag);
  return bytes_of(r);
}

std::vector<uint8_t> make_thread_notify(int32_t tid, int32_t pid, int32_t period, int32_t window) {
  kiv_thread_notify_rec r;
  memset(&r, 0, sizeof r);
  r.tid = tid;
  r.pid = pid;
  r.watch_param1 = period;
  r.watch_param2 = period;
  r.watch_param3 = window;
  return bytes_of(r);
}

std::vector<uint8_t> make_cancel(uint32_t kind, int32_t id) {
  kiv_cancel_req r;
  memset(&r, 0, sizeof r);
  r.kind = kind;
  r.id = id;
  return bytes_of(r);
}

}  // namespace kiv::manager
