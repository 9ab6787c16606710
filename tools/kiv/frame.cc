// Validation, classification and encoding of control-socket frames.
#include "frame.h"

#include <string.h>

namespace kiv::manager {

namespace {

int32_t get_i32(const uint8_t* p) {
  int32_t v;
  memcpy(&v, p, sizeof v);
  return v;
}

void put_i32(std::vector<uint8_t>& v, size_t off, int32_t x) { memcpy(v.data() + off, &x, sizeof x); }

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
  Frame f;
  memcpy(&f.type, buf, 4);
  f.len = get_i32(buf + 4);
  if (f.len < 0) return FrameCheck::kNegativeLength;
  if (packet_len != kHeaderLen + static_cast<size_t>(f.len)) return FrameCheck::kLengthMismatch;
  const size_t want = f.type == KIV_MSG_CANCEL ? kCancelLen : kRecordLen;
  if (static_cast<size_t>(f.len) != want) return FrameCheck::kPayloadSize;
  memcpy(f.name, buf + 8, KIV_MSG_NAME_LEN - 1);
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
  if (tagged && f.payload[32] == 0 && f.name[0] == '\0') return RequestKind::kTimeValue;
  if (f.type == KIV_MSG_RESTART) return RequestKind::kRestart;
  if (f.type == KIV_MSG_SHELL_RESTART) return RequestKind::kShellRestart;
  return RequestKind::kOtherAction;
}

ExitAction decode_exit_action(const uint8_t* p) {
  ExitAction a;
  a.pid = get_i32(p);
  a.vsd = get_i32(p + 8);
  memcpy(&a.time, p + 28, 4);
  memcpy(a.cmdline, p + 32, sizeof a.cmdline - 1);
  a.cmdline[sizeof a.cmdline - 1] = '\0';
  a.tagged = !tag_is_zero(p);
  return a;
}

ThreadNotify decode_thread_notify(const uint8_t* p) {
  ThreadNotify t;
  t.tid = get_i32(p);
  t.pid = get_i32(p + 4);
  t.period = get_i32(p + 12);
  t.param2 = get_i32(p + 16);
  t.window = get_i32(p + 20);
  return t;
}

CancelReq decode_cancel(const uint8_t* p) {
  CancelReq c;
  memcpy(&c.kind, p, 4);
  c.id = get_i32(p + 4);
  return c;
}

std::vector<uint8_t> make_frame(uint32_t type, const std::string& name, const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> v(kHeaderLen + payload.size(), 0);
  memcpy(v.data(), &type, 4);
  put_i32(v, 4, static_cast<int32_t>(payload.size()));
  memcpy(v.data() + 8, name.data(), name.size() < KIV_MSG_NAME_LEN ? name.size() : KIV_MSG_NAME_LEN - 1);
  if (!payload.empty()) memcpy(v.data() + kHeaderLen, payload.data(), payload.size());
  return v;
}

std::vector<uint8_t> make_exit_action(int32_t pid, int32_t vsd, const std::string& cmdline, uint32_t time,
                                      const std::string& tag) {
  std::vector<uint8_t> v(kRecordLen, 0);
  put_i32(v, 0, pid);
  put_i32(v, 8, vsd);
  memcpy(v.data() + 28, &time, 4);
  memcpy(v.data() + 32, cmdline.data(), cmdline.size() < 255 ? cmdline.size() : 255);
  memcpy(v.data() + kTagOffset, tag.data(), tag.size() < kTagLen ? tag.size() : kTagLen - 1);
  return v;
}

std::vector<uint8_t> make_thread_notify(int32_t tid, int32_t pid, int32_t period, int32_t window) {
  std::vector<uint8_t> v(kRecordLen, 0);
  put_i32(v, 0, tid);
  put_i32(v, 4, pid);
  put_i32(v, 12, period);
  put_i32(v, 16, period);
  put_i32(v, 20, window);
  return v;
}

std::vector<uint8_t> make_cancel(uint32_t kind, int32_t id) {
  std::vector<uint8_t> v(kCancelLen, 0);
  memcpy(v.data(), &kind, 4);
  put_i32(v, 4, id);
  return v;
}

}  // namespace kiv::manager
