// The daemon's own logic without the daemon: frame checks and the
// acknowledgement rule, the crash-loop guard, the hang test, the tables and
// their caps, the time scale, the command line, and the process
// supervisor's exit handling with the test's clock and launcher.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "clock.h"
#include "frame.h"
#include "options.h"
#include "proc_supervisor.h"
#include "procs.h"
#include "registry.h"
#include "restart_policy.h"
#include "state.h"
#include "watchdog.h"

namespace kiv::manager {
namespace {

Frame parsed(const std::vector<uint8_t>& packet) {
  Frame f;
  EXPECT_EQ(FrameCheck::kOk, parse_frame(packet.data(), packet.size(), &f));
  return f;
}

TEST(FrameTest, RefusesMalformedPackets) {
  Frame f;
  auto good = make_frame(1, "", make_exit_action(10, 0, "/bin/x"));
  EXPECT_EQ(FrameCheck::kOk, parse_frame(good.data(), good.size(), &f));
  EXPECT_EQ(FrameCheck::kShort, parse_frame(good.data(), KIV_MSG_HDR_LEN - 1, &f));
  EXPECT_EQ(FrameCheck::kShort, parse_frame(good.data(), 0, &f));

  auto neg = good;
  const int32_t minus = -1;
  memcpy(neg.data() + offsetof(kiv_msg, msg_len), &minus, sizeof minus);
  EXPECT_EQ(FrameCheck::kNegativeLength, parse_frame(neg.data(), neg.size(), &f));
  // The true packet size counts, not what the header claims.
  EXPECT_EQ(FrameCheck::kLengthMismatch, parse_frame(good.data(), good.size() - 1, &f));
  EXPECT_EQ(FrameCheck::kLengthMismatch, parse_frame(good.data(), good.size() + 5000, &f));
  auto huge = good;
  const int32_t big = 0x7fffffff;
  memcpy(huge.data() + offsetof(kiv_msg, msg_len), &big, sizeof big);
  EXPECT_EQ(FrameCheck::kLengthMismatch, parse_frame(huge.data(), huge.size(), &f));
  // Each type carries one payload size.
  auto cancel_long = make_frame(5, "", make_exit_action(1, 0, ""));
  EXPECT_EQ(FrameCheck::kPayloadSize, parse_frame(cancel_long.data(), cancel_long.size(), &f));
  auto reg_short = make_frame(1, "", make_cancel(0, 1));
  EXPECT_EQ(FrameCheck::kPayloadSize, parse_frame(reg_short.data(), reg_short.size(), &f));
  auto bare = make_frame(3, "", {});
  EXPECT_EQ(FrameCheck::kPayloadSize, parse_frame(bare.data(), bare.size(), &f));
}

TEST(FrameTest, NameIsTerminatedEvenWhenTheSenderFilledIt) {
  auto p = make_frame(2, "", make_exit_action(10, 0, "/bin/x", 0, "test-10"));
  memset(p.data() + offsetof(kiv_msg, msg_name), 'a', KIV_MSG_NAME_LEN);
  Frame f = parsed(p);
  EXPECT_EQ(255u, strlen(f.name));
}

TEST(FrameTest, AcknowledgementRule) {
  EXPECT_TRUE(needs_ack(parsed(make_frame(3, "", make_thread_notify(5, 5, 4, 180)))));
  EXPECT_TRUE(needs_ack(parsed(make_frame(5, "", make_cancel(0, 9)))));
  // A heartbeat message is sent without waiting: an answer would only make
  // the client drop its connection.
  EXPECT_FALSE(needs_ack(parsed(make_frame(4, "", make_thread_notify(170000, 5, 4, 180)))));
  // Registrations: acknowledged exactly when the tag bytes are zero.
  EXPECT_TRUE(needs_ack(parsed(make_frame(1, "", make_exit_action(10, 0, "/bin/x")))));
  EXPECT_TRUE(needs_ack(parsed(make_frame(2, "", make_exit_action(10, 0, "/bin/x")))));
  EXPECT_TRUE(needs_ack(parsed(make_frame(77, "", make_exit_action(10, 0, "/bin/x")))));
  EXPECT_FALSE(needs_ack(parsed(make_frame(2, "/s.sh", make_exit_action(10, 0, "/bin/x", 0, "test-10")))));
  EXPECT_FALSE(needs_ack(parsed(make_frame(1, "", make_exit_action(10, 0, "", 3, "test-10")))));
  auto last_byte = make_exit_action(10, 0, "/bin/x");
  last_byte[319] = 1;
  EXPECT_FALSE(needs_ack(parsed(make_frame(1, "", last_byte))));
}

TEST(FrameTest, ClassifiesRequests) {
  EXPECT_EQ(RequestKind::kRestart, classify(parsed(make_frame(1, "", make_exit_action(10, 0, "/bin/x")))));
  EXPECT_EQ(RequestKind::kShellRestart,
            classify(parsed(make_frame(2, "/s.sh", make_exit_action(10, 0, "/bin/x", 0, "test-10")))));
  EXPECT_EQ(RequestKind::kShellRestart, classify(parsed(make_frame(2, "", make_exit_action(10, 0, "/bin/x")))));
  // A time value may come with any type: tag, no command line, no name.
  EXPECT_EQ(RequestKind::kTimeValue, classify(parsed(make_frame(1, "", make_exit_action(10, 0, "", 7, "test-10")))));
  EXPECT_EQ(RequestKind::kTimeValue, classify(parsed(make_frame(9, "", make_exit_action(10, 0, "", 7, "test-10")))));
  EXPECT_EQ(RequestKind::kOtherAction, classify(parsed(make_frame(9, "", make_exit_action(10, 0, "/bin/x")))));
  EXPECT_EQ(RequestKind::kThreadRegister, classify(parsed(make_frame(3, "", make_thread_notify(5, 5, 4, 180)))));
  EXPECT_EQ(RequestKind::kThreadBeat, classify(parsed(make_frame(4, "", make_thread_notify(5, 5, 4, 180)))));
  EXPECT_EQ(RequestKind::kCancel, classify(parsed(make_frame(5, "", make_cancel(1, 5)))));
}

// The thread and cancel records: the wire table (wire_test.cc).
TEST(FrameTest, DecodesExitActionFields) {
  auto a = decode_exit_action(make_exit_action(815, 3, "/usr/sbin/prog -x", 9, "test-15").data());
  EXPECT_EQ(815, a.pid);
  EXPECT_EQ(3, a.vsd);
  EXPECT_EQ(9u, a.time);
  EXPECT_STREQ("/usr/sbin/prog -x", a.cmdline);
  EXPECT_TRUE(a.tagged);
  auto unterminated = make_exit_action(1, 0, "");
  memset(unterminated.data() + offsetof(kiv_exit_action_rec, cmdline), 'c', KIV_CMDLINE_LEN);
  EXPECT_EQ(255u, strlen(decode_exit_action(unterminated.data()).cmdline));
}

TEST(TimeScaleTest, ScalesAndSaturates) {
  TimeScale real;
  EXPECT_EQ(180000, real.ms(180));
  TimeScale fast(0.01);
  EXPECT_EQ(1800, fast.ms(180));
  EXPECT_EQ(40, fast.ms(4));
  EXPECT_EQ(0, fast.ms(0));
  EXPECT_EQ(0, fast.ms(-3));
  EXPECT_EQ(0, fast.ms(__builtin_nan("")));
  EXPECT_EQ(1000000000000, real.ms(1e300));
}

// The guard with the default limits, at a scale of one millisecond per
// nominal second so that the arithmetic is easy to read.
class GuardTest : public ::testing::Test {
 protected:
  TimeScale scale{0.001};
  RestartLimits limits;  // backoff 1, cap 30, healthy 30, window 60, 5 restarts
  CrashLoopGuard guard;
};

TEST_F(GuardTest, QuickDeathsRestartAtOnceThenBackOffDoublingToTheCap) {
  const struct {
    int quick;
    std::vector<int64_t> delays;
  } rows[] = {
      {3, {0, 0, 0, 1, 2, 4, 8, 16, 30}},  // the default
      {1, {0, 1, 2, 4, 8, 16, 30, 30, 30}},
      {0, {1, 2, 4, 8, 16, 30, 30, 30, 30}},
  };
  limits.max_restarts = 100;
  limits.window_s = 1;
  EXPECT_EQ(3, limits.quick_restarts);
  for (const auto& row : rows) {
    limits.quick_restarts = row.quick;
    CrashLoopGuard g;
    int64_t now = 0;
    g.started(now);
    std::vector<int64_t> delays;
    for (int i = 0; i < 9; ++i) {
      now += 2;  // dies 2 ms (2 nominal seconds) after each start
      auto d = g.exited(now, limits, scale);
      ASSERT_TRUE(d.restart);
      delays.push_back(d.backoff_ms);
      now += d.backoff_ms;
      g.restarted(now);
    }
    EXPECT_EQ(row.delays, delays) << "quick restarts " << row.quick;
  }
}

TEST_F(GuardTest, HealthyRunClearsTheBackoff) {
  limits.max_restarts = 100;
  int64_t now = 0;
  guard.started(now);
  for (int i = 0; i < 4; ++i) {
    now += 1;
    now += guard.exited(now, limits, scale).backoff_ms;
    guard.restarted(now);
  }
  EXPECT_EQ(4, guard.quick_deaths());
  now += 30;  // a run of the healthy length
  auto d = guard.exited(now, limits, scale);
  EXPECT_TRUE(d.restart);
  EXPECT_EQ(0, d.backoff_ms);
  EXPECT_EQ(0, guard.quick_deaths());
}

TEST_F(GuardTest, StopsAfterTheConfiguredRestartsWithinTheWindow) {
  limits.backoff_base_s = 0;
  int64_t now = 0;
  guard.started(now);
  int restarts = 0;
  for (;;) {
    now += 1;
    auto d = guard.exited(now, limits, scale);
    if (!d.restart) {
      EXPECT_EQ(5, d.recent);
      break;
    }
    guard.restarted(now);
    ASSERT_LT(++restarts, 100);
  }
  EXPECT_EQ(5, restarts);
}

TEST_F(GuardTest, RestartsOutsideTheWindowNoLongerCount) {
  limits.backoff_base_s = 0;
  int64_t now = 0;
  guard.started(now);
  for (int i = 0; i < 5; ++i) {
    now += 10;  // five restarts 10 s apart: 50 s
    ASSERT_TRUE(guard.exited(now, limits, scale).restart);
    guard.restarted(now);
  }
  now += 21;  // the first restart is now 61 s old
  auto d = guard.exited(now, limits, scale);
  EXPECT_TRUE(d.restart);
  EXPECT_EQ(4, d.recent);
}

TEST_F(GuardTest, ZeroRestartsAllowedNeverRestarts) {
  limits.max_restarts = 0;
  guard.started(0);
  EXPECT_FALSE(guard.exited(100, limits, scale).restart);
}

TEST(WatchdogTest, HangOnlyAfterAWindowWithoutProgress) {
  ThreadWatchState w(0, 40, 1200, 1);
  EXPECT_EQ(40, w.next_sample_ms());
  int64_t now = 0;
  int seq = 1;
  // Beating: every sample sees a new byte, no hang however long.
  for (int i = 0; i < 100; ++i) {
    now += 40;
    seq = seq == 255 ? 1 : seq + 1;
    EXPECT_FALSE(w.sample(now, seq));
  }
  // Stalled: the hang comes at the first sample a full window after the
  // last change, not before.
  const int64_t last_change = now;
  int64_t hung_at = -1;
  while (hung_at < 0 && now < last_change + 5000) {
    now += 40;
    if (w.sample(now, seq)) hung_at = now;
  }
  EXPECT_GE(hung_at - last_change, 1200);
  EXPECT_LT(hung_at - last_change, 1200 + 40);
  // Reported once per window while it stays stuck.
  EXPECT_FALSE(w.sample(now + 40, seq));
  EXPECT_TRUE(w.sample(now + 1200, seq));
}

TEST(WatchdogTest, HeartbeatsCountForThreadsOutsideTheTable) {
  ThreadWatchState w(0, 10, 100, -1);
  EXPECT_FALSE(w.sample(50, -1));
  w.beat(90);
  EXPECT_FALSE(w.sample(150, -1));
  EXPECT_TRUE(w.sample(190, -1));
}

TEST(WatchdogTest, ZeroPeriodsAreRaisedToOneMillisecond) {
  ThreadWatchState w(0, 0, 0, 1);
  EXPECT_EQ(1, w.period_ms());
  EXPECT_EQ(1, w.window_ms());
}

ProcReg reg_for(pid_t pid, int fd) {
  ProcReg r;
  r.pid = pid;
  r.cmdline = "/bin/prog";
  r.pidfd.reset(fd);
  return r;
}

int dup_null() { return open("/dev/null", O_RDONLY | O_CLOEXEC); }

TEST(RegistryTest, ReRegistrationKeepsDescriptorAndHistory) {
  Registry r;
  bool replaced = true;
  ProcReg* w = r.watch(reg_for(100, dup_null()), &replaced);
  ASSERT_NE(nullptr, w);
  EXPECT_FALSE(replaced);
  const int fd = w->pidfd.get();
  w->guard.started(0);
  (void)w->guard.exited(1, RestartLimits{}, TimeScale{});
  ProcReg again = reg_for(100, -1);
  again.kind = ExitKind::kShell;
  again.shell = "/s.sh";
  w = r.watch(std::move(again), &replaced);
  EXPECT_TRUE(replaced);
  EXPECT_EQ(fd, w->pidfd.get());
  EXPECT_EQ(ExitKind::kShell, w->kind);
  EXPECT_EQ(1, w->guard.quick_deaths());
  EXPECT_EQ(w, r.watched_by_fd(fd));
  EXPECT_EQ(1u, r.process_count());
}

// The launcher of the supervisor test: a child that ends at once.
int g_launches = 0;
pid_t start_short_lived(const std::string&, int32_t, const Credentials&) {
  ++g_launches;
  const pid_t pid = fork();
  if (pid == 0) _exit(0);
  return pid;
}
pid_t start_shell(const std::string&, const Credentials&) { return start_short_lived("", 0, {}); }

// Exits as the loop would report them, at the test's times (ms; one
// nominal second is 1000): restarts at once, then with the backoff, then
// none; a withdrawn registration is not restarted and its process reaped.
TEST(ProcSupervisorTest, ExitHandlingFollowsTheCrashLoopGuard) {
  Registry reg;
  EventSet events;
  ASSERT_TRUE(events.open());
  ProcSupervisor sup(reg, events, TimeScale{}, RestartLimits{},
                     Launcher{start_short_lived, start_short_lived, start_shell}, nullptr);
  auto watch_new = [&](int64_t now) {
    ProcReg r = reg_for(start_short_lived("", 0, {}), -1);
    r.pidfd.reset(open_pidfd(r.pid));
    ASSERT_TRUE(sup.watch_process(std::move(r), "by the test", now));
  };
  // The pidfd of the one watched process, once that process has ended.
  auto ended_fd = [&]() {
    if (reg.all_watched().size() != 1) return -1;
    struct pollfd p = {reg.all_watched().begin()->second.pidfd.get(), POLLIN, 0};
    return poll(&p, 1, 5000) == 1 ? p.fd : -1;
  };
  enum Event { kExit, kTick };
  const struct {
    int64_t at;
    Event event;
    int launches;     // restarts so far
    int64_t due;      // the pending restart's due time, or -1
    size_t watched;
  } rows[] = {
      {10, kExit, 1, -1, 1},  // three quick deaths: at once
      {20, kExit, 2, -1, 1},
      {30, kExit, 3, -1, 1},
      {40, kExit, 3, 1040, 0},  // the fourth waits the base backoff
      {1039, kTick, 3, 1040, 0},
      {1040, kTick, 4, -1, 1},
      {1050, kExit, 4, 3050, 0},  // doubled
      {3050, kTick, 5, -1, 1},
      {3060, kExit, 5, -1, 0},  // a sixth restart within the window: given up
  };
  watch_new(0);
  g_launches = 0;
  for (const auto& row : rows) {
    if (row.event == kExit) {
      const int fd = ended_fd();
      ASSERT_GE(fd, 0) << "at " << row.at;
      sup.on_exit(fd, row.at);
    } else {
      sup.tick(row.at);
    }
    EXPECT_EQ(row.launches, g_launches) << "at " << row.at;
    EXPECT_EQ(row.due, reg.next_due_ms()) << "at " << row.at;
    EXPECT_EQ(row.watched, reg.all_watched().size()) << "at " << row.at;
  }
  EXPECT_EQ(0u, reg.process_count());

  watch_new(5000);
  g_launches = 0;
  const pid_t pid = reg.all_watched().begin()->first;
  const int fd = ended_fd();
  ASSERT_GE(fd, 0);
  EXPECT_FALSE(sup.on_cancel(pid, Peer{}));
  sup.on_exit(fd, 5010);
  sup.on_helper_exit(fd);
  EXPECT_EQ(0, g_launches);
  EXPECT_EQ(0u, reg.process_count());
  EXPECT_EQ(-1, waitpid(pid, nullptr, WNOHANG));  // reaped
  EXPECT_EQ(ECHILD, errno);
}

TEST(RegistryTest, TimeValueBeforeOrAfterItsRegistration) {
  Registry r;
  bool replaced;
  r.set_time_value(200, 7);
  EXPECT_EQ(7u, r.watch(reg_for(200, dup_null()), &replaced)->delay_s);
  r.set_time_value(200, 9);
  EXPECT_EQ(9u, r.watched(200)->delay_s);
  // A later registration of the same process without a time keeps it.
  EXPECT_EQ(9u, r.watch(reg_for(200, -1), &replaced)->delay_s);
  // A value kept for one pid does not reach another.
  r.set_time_value(300, 4);
  EXPECT_EQ(0u, r.watch(reg_for(301, dup_null()), &replaced)->delay_s);
  // One kept from another user does not reach it either (the pid was reused).
  r.set_time_value(400, 5, 1000);
  ProcReg other = reg_for(400, dup_null());
  other.cred.uid = 2000;
  EXPECT_EQ(0u, r.watch(std::move(other), &replaced)->delay_s);
  r.set_time_value(500, 6, 1000);
  ProcReg own = reg_for(500, dup_null());
  own.cred.uid = 1000;
  EXPECT_EQ(6u, r.watch(std::move(own), &replaced)->delay_s);
}

TEST(RegistryTest, KeptTimeValuesAreCapped) {
  Registry r(16, 16, 3);
  for (pid_t p = 1; p <= 10; ++p) r.set_time_value(p, static_cast<uint32_t>(p));
  bool replaced;
  EXPECT_EQ(0u, r.watch(reg_for(1, dup_null()), &replaced)->delay_s);   // given way
  EXPECT_EQ(10u, r.watch(reg_for(10, dup_null()), &replaced)->delay_s);  // kept
}

TEST(RegistryTest, PendingRestartsComeDueInOrderAndCanBeCancelled) {
  Registry r;
  bool replaced;
  r.watch(reg_for(1, dup_null()), &replaced);
  r.watch(reg_for(2, dup_null()), &replaced);
  r.watch(reg_for(3, dup_null()), &replaced);
  r.schedule(std::move(*r.take(1)), 50);
  r.schedule(std::move(*r.take(2)), 20);
  EXPECT_EQ(20, r.next_due_ms());
  EXPECT_EQ(3u, r.process_count());
  EXPECT_TRUE(r.cancel(1));   // pending
  EXPECT_TRUE(r.cancel(3));   // watched
  EXPECT_FALSE(r.cancel(3));
  EXPECT_TRUE(r.take_due(19).empty());
  auto due = r.take_due(20);
  ASSERT_EQ(1u, due.size());
  EXPECT_EQ(2, due[0].pid);
  EXPECT_FALSE(due[0].pidfd.ok());
  EXPECT_EQ(-1, r.next_due_ms());
  EXPECT_EQ(0u, r.process_count());
}

TEST(RegistryTest, TablesAreCapped) {
  Registry r(2, 2, 2);
  bool replaced;
  EXPECT_NE(nullptr, r.watch(reg_for(1, dup_null()), &replaced));
  EXPECT_NE(nullptr, r.watch(reg_for(2, dup_null()), &replaced));
  EXPECT_EQ(nullptr, r.watch(reg_for(3, dup_null()), &replaced));
  EXPECT_NE(nullptr, r.watch(reg_for(2, -1), &replaced));  // an update still fits
  EXPECT_NE(nullptr, r.add_thread(ThreadReg(10, 1, 0, 5, 50, 1)));
  EXPECT_NE(nullptr, r.add_thread(ThreadReg(11, 1, 0, 7, 50, 1)));
  EXPECT_EQ(nullptr, r.add_thread(ThreadReg(12, 1, 0, 5, 50, 1)));
  EXPECT_NE(nullptr, r.add_thread(ThreadReg(11, 2, 0, 3, 50, 1)));  // replaces
  EXPECT_EQ(2, r.thread(11)->pid);
  EXPECT_EQ(3, r.next_sample_ms());
  EXPECT_TRUE(r.remove_thread(10));
  EXPECT_FALSE(r.remove_thread(10));
}

TEST(SavedStateTest, RegistrationsRoundTripAndNoTextLeavesItsLine) {
  ProcReg a = reg_for(42, -1);
  a.cmdline = "/bin/x a%20b\nreg pid=1 kind=0 cmd=/bin/evil";
  a.shell = "/s h\t";
  a.kind = ExitKind::kShell;
  a.vsd = 3;
  a.type = 2;
  a.delay_s = 7;
  a.start_ticks = 123456789012ull;
  a.db_file = true;
  a.cred = Credentials{65534, 65533, {4242, 7}, true};
  ProcReg b = reg_for(43, -1);
  b.due_ms = 98765;
  const std::string line = format_saved(a);
  EXPECT_EQ(line.size() - 1, line.find('\n'));
  ASSERT_EQ(0, mkdir("/tmp/kiv", 0755) == 0 || errno == EEXIST ? 0 : -1);
  ASSERT_TRUE(save_registrations("/tmp/kiv/state-test", {&a, &b}));
  const auto got = load_registrations("/tmp/kiv/state-test");
  ASSERT_EQ(2u, got.size());
  for (const auto& [want, r] : {std::pair{&a, &got[0]}, std::pair{&b, &got[1]}}) {
    EXPECT_EQ(want->pid, r->pid);
    EXPECT_EQ(want->cmdline, r->cmdline);
    EXPECT_EQ(want->shell, r->shell);
    EXPECT_EQ(want->kind, r->kind);
    EXPECT_EQ(want->vsd, r->vsd);
    EXPECT_EQ(want->type, r->type);
    EXPECT_EQ(want->delay_s, r->delay_s);
    EXPECT_EQ(want->start_ticks, r->start_ticks);
    EXPECT_EQ(want->due_ms, r->due_ms);
    EXPECT_EQ(want->db_file, r->db_file);
    EXPECT_EQ(want->cred.known, r->cred.known);
    EXPECT_EQ(want->cred.uid, r->cred.uid);
    EXPECT_EQ(want->cred.gid, r->cred.gid);
    EXPECT_EQ(want->cred.groups, r->cred.groups);
  }
  // Lines that are no registration: bad or missing values, nothing to start.
  ProcReg r;
  for (const char* bad : {"reg pid=0 kind=0 cmd=/x", "reg kind=0 cmd=/x", "reg pid=5 kind=3 cmd=/x",
                          "reg pid=5 kind=0 cmd=/x%4", "reg pid=5 kind=0", "reg pid=5 kind=1 cmd=/x",
                          "reg pid=5 kind=0 vsd=16 cmd=/x", "reg pid=5x kind=0 cmd=/x", "pid=5 kind=0 cmd=/x",
                          "reg pid=5 kind=0 uid=1 gid=1 groups=1, cmd=/x", "reg pid=5 kind=0 uid=-1 gid=1 cmd=/x"}) {
    EXPECT_FALSE(parse_saved(bad, &r)) << bad;
  }
  EXPECT_TRUE(parse_saved("reg pid=5 kind=0 cmd=/x later=1", &r));
  // Half the credentials are none: nothing starts under a guessed gid.
  EXPECT_TRUE(parse_saved("reg pid=5 kind=0 uid=7 groups=1 cmd=/x", &r));
  EXPECT_FALSE(r.cred.known);
  // A file others could have written, or one from another boot, is not read.
  ASSERT_EQ(0, chmod("/tmp/kiv/state-test", 0622));
  EXPECT_TRUE(load_registrations("/tmp/kiv/state-test").empty());
  FILE* f = fopen("/tmp/kiv/state-test", "we");
  ASSERT_NE(nullptr, f);
  fputs("boot 00000000-0000-0000-0000-000000000000\nreg pid=5 kind=0 cmd=/x\n", f);
  fclose(f);
  ASSERT_EQ(0, chmod("/tmp/kiv/state-test", 0600));
  EXPECT_TRUE(load_registrations("/tmp/kiv/state-test").empty());
  EXPECT_EQ(0, unlink("/tmp/kiv/state-test"));
}

Options parse(std::vector<const char*> args, int* rc) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>("kiv"));
  for (const char* a : args) argv.push_back(const_cast<char*>(a));
  argv.push_back(nullptr);
  Options o;
  testing::internal::CaptureStderr();
  *rc = parse_options(static_cast<int>(argv.size() - 1), argv.data(), &o);
  (void)testing::internal::GetCapturedStderr();
  return o;
}

TEST(OptionsTest, DefaultsAndValues) {
  int rc;
  Options o = parse({}, &rc);
  EXPECT_EQ(-1, rc);
  EXPECT_FALSE(o.background);
  EXPECT_EQ(1.0, o.time_scale);
  EXPECT_EQ(5, o.limits.max_restarts);
  EXPECT_EQ(3, o.limits.quick_restarts);
  EXPECT_EQ(0, parse({"--quick-restarts", "0"}, &rc).limits.quick_restarts);
  o = parse({"-s", "0.01", "-vv", "--max-restarts=3", "--restart-window", "10", "--backoff", "0.5",
             "--backoff-cap", "4", "--healthy", "2", "--max-clients", "300", "--max-per-user", "7",
             "--idle-timeout", "0.5", "-b"},
            &rc);
  EXPECT_EQ(-1, rc);
  EXPECT_DOUBLE_EQ(0.01, o.time_scale);
  EXPECT_EQ(3, o.verbosity);
  EXPECT_EQ(3, o.limits.max_restarts);
  EXPECT_EQ(10, o.limits.window_s);
  EXPECT_EQ(0.5, o.limits.backoff_base_s);
  EXPECT_EQ(4, o.limits.backoff_cap_s);
  EXPECT_EQ(2, o.limits.healthy_s);
  EXPECT_EQ(300u, o.max_clients);
  EXPECT_EQ(7u, o.max_per_uid);
  EXPECT_EQ(0.5, o.idle_s);
  EXPECT_TRUE(o.background);
}

TEST(OptionsTest, BadValuesAreUsageErrors) {
  int rc;
  for (auto bad : std::vector<std::vector<const char*>>{{"-s", "0"},
                                                         {"-s", "abc"},
                                                         {"-s", "nan"},
                                                         {"--backoff", "-1"},
                                                         {"--max-restarts", "1x"},
                                                         {"--quick-restarts", "1001"},
                                                         {"--max-clients", "0"},
                                                         {"--max-per-user", "0"},
                                                         {"--idle-timeout", "0"},
                                                         {"--bogus"},
                                                         {"extra"}}) {
    parse(bad, &rc);
    EXPECT_EQ(2, rc) << bad[0];
  }
  testing::internal::CaptureStdout();
  parse({"--help"}, &rc);
  const std::string help = testing::internal::GetCapturedStdout();
  EXPECT_EQ(0, rc);
  EXPECT_NE(std::string::npos, help.find("--time-scale"));
}

}  // namespace
}  // namespace kiv::manager
