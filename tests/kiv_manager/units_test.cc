// The daemon's pure logic without the daemon: frame checks, the
// acknowledgement rule and request kinds, the crash-loop guard, the hang
// test and the saved state.
#include <gtest/gtest.h>
#include <stddef.h>
#include <string.h>
#include <sys/stat.h>

#include "frame.h"
#include "restart_policy.h"
#include "state.h"
#include "support/files.h"
#include "support/fixture.h"
#include "watchdog.h"

namespace kiv::manager {
namespace {

std::vector<uint8_t> with_len(std::vector<uint8_t> p, int32_t len) {
  memcpy(p.data() + offsetof(kiv_msg, msg_len), &len, sizeof len);
  return p;
}

TEST(FrameTest, ChecksKindsAndAcknowledgements) {
  using K = RequestKind;
  using C = FrameCheck;
  const auto reg = make_frame(1, "", make_exit_action(10, 0, "/bin/x"));
  auto last_tag_byte = make_exit_action(10, 0, "/bin/x");
  last_tag_byte[319] = 1;
  const struct {
    std::vector<uint8_t> packet;
    long extra;  // true packet size beyond the bytes given
    FrameCheck check;
    RequestKind kind = K::kOtherAction;
    bool ack = false;
  } rows[] = {
      {reg, 0, C::kOk, K::kRestart, true},
      {make_frame(2, "/s.sh", make_exit_action(10, 0, "/bin/x", 0, "test-10")), 0, C::kOk, K::kShellRestart, false},
      {make_frame(2, "", make_exit_action(10, 0, "/bin/x")), 0, C::kOk, K::kShellRestart, true},
      {make_frame(1, "", make_exit_action(10, 0, "", 7, "test-10")), 0, C::kOk, K::kTimeValue, false},
      {make_frame(9, "", make_exit_action(10, 0, "", 7, "test-10")), 0, C::kOk, K::kTimeValue, false},
      {make_frame(77, "", make_exit_action(10, 0, "/bin/x")), 0, C::kOk, K::kOtherAction, true},
      {make_frame(1, "", last_tag_byte), 0, C::kOk, K::kRestart, false},
      {make_frame(3, "", make_thread_notify(5, 5, 4, 180)), 0, C::kOk, K::kThreadRegister, true},
      {make_frame(4, "", make_thread_notify(5, 5, 4, 180)), 0, C::kOk, K::kThreadBeat, false},
      {make_frame(5, "", make_cancel(1, 5)), 0, C::kOk, K::kCancel, true},
      {std::vector<uint8_t>(reg.begin(), reg.begin() + KIV_MSG_HDR_LEN - 1), 0, C::kShort},
      {{}, 0, C::kShort},
      {with_len(reg, -1), 0, C::kNegativeLength},
      {reg, -1, C::kLengthMismatch},  // the true size counts, not the header's claim
      {reg, 5000, C::kLengthMismatch},
      {with_len(reg, 0x7fffffff), 0, C::kLengthMismatch},
      {make_frame(5, "", make_exit_action(1, 0, "")), 0, C::kPayloadSize},  // one size per type
      {make_frame(1, "", make_cancel(0, 1)), 0, C::kPayloadSize},
      {make_frame(3, "", {}), 0, C::kPayloadSize},
  };
  for (const auto& r : rows) {
    Frame f;
    ASSERT_EQ(r.check, parse_frame(r.packet.data(), r.packet.size() + static_cast<size_t>(r.extra), &f)) << &r - rows;
    if (r.check != C::kOk) continue;
    EXPECT_EQ(r.kind, classify(f)) << &r - rows;
    EXPECT_EQ(r.ack, needs_ack(f)) << &r - rows;
  }
}

// Each run dies run_s nominal seconds (1 ms each) after its start; the
// delays the guard gives, -1 once it gives up.
std::vector<int64_t> guard_delays(const RestartLimits& limits, const std::vector<int64_t>& runs) {
  CrashLoopGuard g;
  int64_t now = 0;
  std::vector<int64_t> out;
  g.started(now);
  for (int64_t run : runs) {
    const auto d = g.exited(now += run, limits, TimeScale(0.001));
    out.push_back(d.restart ? d.backoff_ms : -1);
    if (!d.restart) break;
    g.restarted(now += d.backoff_ms);
  }
  return out;
}

TEST(GuardTest, QuickDeathsBackoffHealthyRunsAndTheWindow) {
  RestartLimits many;  // backoff 1, cap 30, healthy 30, window 60, 5 restarts, 3 quick
  many.max_restarts = 100;
  many.window_s = 1;
  RestartLimits one_quick = many, no_quick = many, instant, none;
  one_quick.quick_restarts = 1;
  no_quick.quick_restarts = 0;
  instant.backoff_base_s = 0;
  none.max_restarts = 0;
  const std::vector<int64_t> quick9(9, 2);
  const struct {
    RestartLimits limits;
    std::vector<int64_t> runs, delays;
  } rows[] = {
      {many, quick9, {0, 0, 0, 1, 2, 4, 8, 16, 30}},
      {one_quick, quick9, {0, 1, 2, 4, 8, 16, 30, 30, 30}},
      {no_quick, quick9, {1, 2, 4, 8, 16, 30, 30, 30, 30}},
      {many, {1, 1, 1, 1, 30, 1}, {0, 0, 0, 1, 0, 0}},  // a healthy run clears the backoff
      {instant, std::vector<int64_t>(7, 1), {0, 0, 0, 0, 0, -1}},  // six within the window
      {instant, {10, 10, 10, 10, 10, 21, 1}, {0, 0, 0, 0, 0, 0, -1}},  // the first has left it
      {none, {100}, {-1}},
  };
  for (const auto& r : rows) EXPECT_EQ(r.delays, guard_delays(r.limits, r.runs)) << &r - rows;
}

TEST(WatchdogTest, HangOnlyAfterAWindowWithoutProgress) {
  ThreadWatchState w(0, 40, 1200, 200);
  int64_t now = 0;
  int seq = 200;
  while (now < 4000) EXPECT_FALSE(w.sample(now += 40, seq = seq % 255 + 1));  // beating, from 255 to 1
  const int64_t last_change = now;
  while (!w.sample(now += 40, seq)) ASSERT_LT(now, last_change + 5000);
  EXPECT_GE(now - last_change, 1200);
  EXPECT_LT(now - last_change, 1200 + 40);
  EXPECT_FALSE(w.sample(now + 40, seq));  // once per window while stuck
  EXPECT_TRUE(w.sample(now + 1200, seq));
  ThreadWatchState beats(0, 10, 100, -1);  // outside the table: heartbeat messages
  beats.beat(90);
  EXPECT_FALSE(beats.sample(150, -1));
  EXPECT_TRUE(beats.sample(190, -1));
  ThreadWatchState zero(0, 0, 0, 1);  // a zero period would spin
  EXPECT_EQ(1, zero.period_ms() * zero.window_ms());
}

// In the sandbox: it writes in the Manager's run directory.
class SavedStateTest : public kiv::test::SandboxTest {};

TEST_F(SavedStateTest, RoundTripAndWhatIsNotTrusted) {
  ProcReg a, b;
  a.pid = 42, b.pid = 43;
  a.cmdline = "/bin/x a%20b\nreg pid=1 kind=0 cmd=/bin/evil";
  a.shell = "/s h\t";
  a.kind = ExitKind::kShell;
  a.vsd = 3, a.type = 2, a.delay_s = 7, a.start_ticks = 123456789012ull, a.db_file = true;
  a.cred = Credentials{65534, 65533, {4242, 7}, true};
  b.cmdline = "/bin/prog";
  b.due_ms = 98765;
  const char* path = "/tmp/kiv/state-test";
  ASSERT_TRUE(save_registrations(path, {&a, &b}));
  const auto got = load_registrations(path);
  ASSERT_EQ(2u, got.size());
  for (const auto& [want, r] : {std::pair{&a, &got[0]}, std::pair{&b, &got[1]}}) {
    EXPECT_EQ(format_saved(*want), format_saved(*r));
    EXPECT_EQ(want->cred.known, r->cred.known);
  }
  ProcReg r;
  EXPECT_TRUE(parse_saved("reg pid=5 kind=0 uid=7 groups=1 cmd=/x", &r));
  EXPECT_FALSE(r.cred.known);  // half the credentials are none
  // Nothing from a link, a file of another user or one others could have
  // written, or one from another boot.
  ASSERT_EQ(0, symlink(path, "/tmp/kiv/state-link"));
  EXPECT_TRUE(load_registrations("/tmp/kiv/state-link").empty());
  ASSERT_EQ(0, chown(path, 65534, 0));
  EXPECT_TRUE(load_registrations(path).empty());
  ASSERT_EQ(0, chown(path, 0, 0));
  ASSERT_EQ(0, chmod(path, 0622));
  EXPECT_TRUE(load_registrations(path).empty());
  kiv::test::write_file(path, "boot 00000000-0000-0000-0000-000000000000\nreg pid=5 kind=0 cmd=/x\n", 0600);
  EXPECT_TRUE(load_registrations(path).empty());
}

}  // namespace
}  // namespace kiv::manager
