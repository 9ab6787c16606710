// The wire layout between the library and the Manager, byte for byte: each
// request the library sends is captured, compared with its exact bytes, and
// read back by the Manager's decoder to the fields it was built from.
#include <gtest/gtest.h>
#include <string.h>

#include <functional>
#include <string>
#include <vector>

#include "frame.h"
#include "kiv_rpc.h"
#include "kiv_xtach.h"
#include "kiv_xtach/reg_helpers.h"
#include "support/child.h"
#include "support/fixture.h"
#include "support/peer.h"

namespace kiv::manager {
namespace {

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the golden bytes are little-endian");

// The sender runs in a child whose pid (and thread id) is this one.
constexpr int kPid = KIV_ALIVE_PID_MAX + 6;  // 0x28006: beyond the alive table
// No process has this pid: no command line, no VSD, no database file.
constexpr int kAbsent = 4194305;  // 0x400001, above the kernel's pid limit

// Bytes at an offset of the packet; every byte outside all spans is zero.
struct Span {
  size_t at;
  std::vector<uint8_t> bytes;
};

struct Row {
  const char* what;
  std::function<void()> send;  // the library call, in the child
  size_t size;                 // the whole packet
  std::vector<Span> spans;
  RequestKind kind;             // as the Manager classifies it
  std::vector<int64_t> fields;  // as the Manager decodes them
  std::string name;             // msg_name
};

std::vector<uint8_t> text(const char* s) { return std::vector<uint8_t>(s, s + strlen(s)); }

// The fields of a decoded request, in the order of the rows.
std::vector<int64_t> decoded(const Frame& f, RequestKind kind) {
  switch (kind) {
    case RequestKind::kThreadRegister:
    case RequestKind::kThreadBeat: {
      const ThreadNotify t = decode_thread_notify(f.payload);
      return {t.tid, t.pid, t.period, t.param2, t.window};
    }
    case RequestKind::kCancel: {
      const CancelReq c = decode_cancel(f.payload);
      return {c.kind, c.id};
    }
    default: {
      const ExitAction a = decode_exit_action(f.payload);
      return {a.pid, a.vsd, a.time, a.tagged};
    }
  }
}

using WireTest = kiv::test::SandboxTest;

TEST_F(WireTest, LibraryFramesAreTheBytesTheManagerDecodes) {
  const Row rows[] = {
      {"restart", [] { (void)reg_process_exit_action(kAbsent, 1); }, 588,
       {{0, {1}}, {4, {0x40, 1}}, {268, {0x01, 0x00, 0x40}}},
       RequestKind::kRestart, {kAbsent, 0, 0, 0}, ""},
      {"shell restart", [] { (void)reg_process_exit_action_shell(kAbsent, 2, "/s.sh"); }, 588,
       {{0, {2}}, {4, {0x40, 1}}, {8, text("/s.sh")}, {268, {0x01, 0x00, 0x40}}, {268 + 288, text("test-5")}},
       RequestKind::kShellRestart, {kAbsent, 0, 0, 1}, "/s.sh"},
      {"thread registration", [] { (void)kiv_client_reg_thread_notify(getpid(), kiv::test::own_tid(), 1, 1); }, 588,
       {{0, {3}}, {4, {0x40, 1}}, {268, {0x06, 0x80, 0x02, 0, 0x06, 0x80, 0x02}}, {268 + 12, {4, 0, 0, 0, 4}},
        {268 + 20, {180}}},
       RequestKind::kThreadRegister, {kPid, kPid, 4, 4, 180}, ""},
      {"heartbeat", [] { (void)kiv_client_reset_thread_notify(getpid(), kiv::test::own_tid(), 2, 1); }, 588,
       {{0, {4}}, {4, {0x40, 1}}, {268, {0x06, 0x80, 0x02, 0, 0x06, 0x80, 0x02}}, {268 + 12, {5, 0, 0, 0, 5}},
        {268 + 20, {120}}},
       RequestKind::kThreadBeat, {kPid, kPid, 5, 5, 120}, ""},
      {"process cancel", [] { (void)kiv_cancel_proc(0); }, 276,
       {{0, {5}}, {4, {8}}, {268 + 4, {0x06, 0x80, 0x02}}},
       RequestKind::kCancel, {KIV_CANCEL_PROCESS, kPid}, ""},
      {"thread cancel", [] { (void)kiv_client_unreg_thread_notify(kiv::test::own_tid()); }, 276,
       {{0, {5}}, {4, {8}}, {268, {1, 0, 0, 0, 0x06, 0x80, 0x02}}},
       RequestKind::kCancel, {KIV_CANCEL_THREAD, kPid}, ""},
      {"time value", [] { (void)kiv_time_set(815, 9, 123456); }, 588,
       {{0, {9}}, {4, {0x40, 1}}, {268, {0x2f, 0x03}}, {268 + 28, {0x40, 0xe2, 0x01}}, {268 + 288, text("test-15")}},
       RequestKind::kTimeValue, {815, 0, 123456, 1}, ""},
  };
  kiv::test::Peer peer;
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    kiv::test::next_pid_is(kPid);
    const auto child = kiv::test::run_in_child([&] {
      r.send();
      return getpid() == kPid ? 0 : 1;
    });
    ASSERT_EQ(0, kiv::test::exit_code(child)) << "the sender did not get pid " << kPid;
    const auto got = peer.next_frame();
    ASSERT_TRUE(got.has_value());

    std::vector<uint8_t> want(r.size, 0);
    for (const Span& s : r.spans) memcpy(want.data() + s.at, s.bytes.data(), s.bytes.size());
    EXPECT_EQ(want, got->bytes);

    Frame f;
    ASSERT_EQ(FrameCheck::kOk, parse_frame(got->bytes.data(), got->bytes.size(), &f));
    EXPECT_EQ(r.kind, classify(f));
    EXPECT_EQ(r.fields, decoded(f, r.kind));
    EXPECT_EQ(r.name, f.name);
  }
}

}  // namespace
}  // namespace kiv::manager
