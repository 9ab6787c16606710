// One packet as the Manager reads it from a client: validation, the
// acknowledgement rule, classification and the payload decoders.
#include <stdlib.h>
#include <string.h>

#include "frame.h"

using namespace kiv::manager;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The daemon stores at most kMaxPacket bytes and passes the true size.
  static uint8_t buf[kMaxPacket];
  const size_t stored = size < kMaxPacket ? size : kMaxPacket;
  memcpy(buf, data, stored);
  Frame f;
  const FrameCheck c = parse_frame(buf, size, &f);
  if (frame_check_text(c) == nullptr) abort();
  if (c != FrameCheck::kOk) return 0;
  if (kHeaderLen + static_cast<size_t>(f.len) != size || size > kMaxPacket) abort();
  if (strnlen(f.name, sizeof f.name) == sizeof f.name) abort();
  (void)needs_ack(f);
  switch (classify(f)) {
    case RequestKind::kRestart:
    case RequestKind::kShellRestart:
    case RequestKind::kTimeValue:
    case RequestKind::kOtherAction: {
      const ExitAction a = decode_exit_action(f.payload);
      if (strnlen(a.cmdline, sizeof a.cmdline) == sizeof a.cmdline) abort();
      break;
    }
    case RequestKind::kThreadRegister:
    case RequestKind::kThreadBeat: (void)decode_thread_notify(f.payload); break;
    case RequestKind::kCancel: (void)decode_cancel(f.payload); break;
  }
  return 0;
}
