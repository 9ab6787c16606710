// Rows of the Manager: registrations and withdrawals, one-way heartbeat
// drain, 100 concurrent clients, restart latency. Each runs against the
// daemon of the build tree and, as its floor, an echo peer that does
// nothing with the requests.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "frame.h"
#include "harness.h"
#include "kiv_comp_config.h"
#include "kiv_rpc.h"
#include "kiv_xtach.h"
#include "peers.h"
#include "rows.h"

namespace {

using kiv::manager::make_cancel;
using kiv::manager::make_exit_action;
using kiv::manager::make_frame;
using kiv::manager::make_thread_notify;

constexpr int kBurst = 2000;
// The heartbeats put this thread under the Manager's watchdog, which aborts
// a process whose thread stops beating: a long period, and withdrawn after.
constexpr int kWatchS = 600;

std::vector<uint8_t> registration() { return make_frame(KIV_MSG_RESTART, "", make_exit_action(getpid(), 0, "/bin/true")); }
std::vector<uint8_t> withdrawal() { return make_frame(KIV_MSG_CANCEL, "", make_cancel(0, getpid())); }

bool manager_up() {
  const int sd = bench::connect_to(KIV_SOCK_PATH);
  if (sd < 0) return false;
  close(sd);
  return true;
}

void registrations(bool two_cpus) {
  const int mgr = bench::connect_to(KIV_SOCK_PATH), echo = bench::connect_to(bench::kEchoPath);
  const auto reg = registration(), wd = withdrawal();
  int failures = 0;
  const auto m = bench::alternate(
      64, [&] { failures += !bench::round_trip(mgr, reg) + !bench::round_trip(mgr, wd); },
      [&] { failures += !bench::round_trip(echo, reg) + !bench::round_trip(echo, wd); });
  close(mgr);
  close(echo);
  bench::ratio_row(std::string("new registration + withdrawal vs raw echo, ") + (two_cpus ? "two CPUs" : "one CPU"),
                   m, 1.30, "per pair; failures: " + std::to_string(failures));
}

// A burst of type-4 heartbeats, then one acknowledged request behind them:
// its answer means every heartbeat before it was taken off the socket.
void drain(bool two_cpus) {
  const std::string where = two_cpus ? ", two CPUs" : ", one CPU";
  const int tid = static_cast<int>(syscall(SYS_gettid));
  const auto beat = make_frame(KIV_MSG_THREAD_BEAT, "", make_thread_notify(tid, getpid(), kWatchS, kWatchS));
  const auto fence = withdrawal();
  int failures = 0;
  auto burst = [&](int sd) {
    for (int i = 0; i < kBurst; ++i) {
      failures += send(sd, beat.data(), beat.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(beat.size());
    }
    failures += !bench::round_trip(sd, fence);
  };
  int mgr = bench::connect_to(KIV_SOCK_PATH);
  const int echo = bench::connect_to(bench::kEchoPath);
  auto m = bench::alternate(1, [&] { burst(mgr); }, [&] { burst(echo); });
  m.lib_ns /= kBurst;
  m.floor_ns /= kBurst;
  close(mgr);
  bench::ratio_row("type-4 drain by the Manager, raw sender, vs raw drain" + where, m, 1 / 0.9,
                   "time per message (goal: >= 0.9x the raw rate); send failures: " + std::to_string(failures));

  kiv_thread_notify_rec rec;
  memcpy(&rec, make_thread_notify(tid, getpid(), kWatchS, kWatchS).data(), sizeof rec);
  kiv_cancel_req cancel = {0, getpid()};
  int lost = 0;
  m = bench::alternate(
      1,
      [&] {
        for (int i = 0; i < kBurst; ++i) {
          lost += kiv_rpc(KIV_MSG_THREAD_BEAT, nullptr, &rec, sizeof rec, 0, 0) != 0;
        }
        lost += kiv_rpc(KIV_MSG_CANCEL, nullptr, &cancel, sizeof cancel, 1, 0) < 0;
      },
      [&] { burst(echo); });
  m.lib_ns /= kBurst;
  m.floor_ns /= kBurst;
  close(echo);
  mgr = bench::connect_to(KIV_SOCK_PATH);
  failures += !bench::round_trip(mgr, make_frame(KIV_MSG_CANCEL, "", make_cancel(1, tid)));
  close(mgr);
  bench::ratio_row("type-4 drain through kiv_rpc vs raw drain" + where, m, 1 / 0.6,
                   "goal: >= 0.6x the raw rate, 0 lost; lost: " + std::to_string(lost) + " of " +
                       std::to_string(kBurst * bench::kBlocks),
                   lost == 0);
}

// 100 processes registering and withdrawing through the library at once.
void many_clients() {
  constexpr int kClients = 100, kSeconds = 5;
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return;
  std::vector<pid_t> kids;
  for (int c = 0; c < kClients; ++c) {
    kids.push_back(bench::start_child([&] {
      const auto rec = make_exit_action(getpid(), 0, "/bin/true");
      kiv_cancel_req cancel = {0, getpid()};
      int fails = 0, pairs = 0;
      const int64_t end = bench::now_ns() + kSeconds * 1000000000LL;
      while (bench::now_ns() < end) {
        fails += kiv_rpc(KIV_MSG_RESTART, nullptr, const_cast<uint8_t*>(rec.data()), static_cast<int>(rec.size()), 1, 0) < 0;
        fails += kiv_rpc(KIV_MSG_CANCEL, nullptr, &cancel, sizeof cancel, 1, 0) < 0;
        ++pairs;
      }
      const int r[2] = {pairs, fails};
      (void)!write(out[1], r, sizeof r);
    }));
  }
  close(out[1]);
  int pairs = 0, fails = 0, r[2];
  while (read(out[0], r, sizeof r) == static_cast<ssize_t>(sizeof r)) {
    pairs += r[0];
    fails += r[1];
  }
  close(out[0]);
  for (pid_t k : kids) (void)waitpid(k, nullptr, 0);
  char value[96];
  snprintf(value, sizeof value, "%d failed of %d acked pairs in %d s", fails, pairs, kSeconds);
  bench::row("100 concurrent clients registering and withdrawing", value, "0 acknowledgement timeouts",
             fails == 0 && pairs > 0);
}

std::string us(double ns) {
  char text[32];
  snprintf(text, sizeof text, "%.0f us", ns / 1000);
  return text;
}

bool read_pid(int fifo, pid_t* pid) {
  char msg[1 + sizeof(pid_t)];
  struct pollfd p = {fifo, POLLIN, 0};
  if (poll(&p, 1, 5000) != 1 || read(fifo, msg, sizeof msg) != static_cast<ssize_t>(sizeof msg)) return false;
  memcpy(pid, msg + 1, sizeof *pid);
  return msg[0] == 'g';
}

// SIGKILL of a registered program until its new copy runs, against
// fork+exec of the same program until it runs.
void restart() {
  const int fifo = bench::open_ready_fifo();
  const std::string probe = bench::probe_path();
  auto spawn = [&](const char* mode) {
    return bench::start_child([&] {
      execl(probe.c_str(), probe.c_str(), bench::kReadyFifo, mode, static_cast<char*>(nullptr));
    });
  };
  pid_t copy = spawn("register");
  const pid_t first = copy;
  if (!bench::wait_ready(fifo) || !read_pid(fifo, &copy)) {
    bench::not_measured("Manager restart: SIGKILL to new copy running, p99", "<= 1.05x", "the probe did not register");
    bench::stop_child(first);
    close(fifo);
    return;
  }
  std::vector<double> lib, floor;
  int failures = 0;
  for (int i = 0; i < 60 && failures == 0; ++i) {
    int64_t t0 = bench::now_ns();
    (void)kill(copy, SIGKILL);
    if (!bench::wait_ready(fifo)) {
      ++failures;
      break;
    }
    lib.push_back(static_cast<double>(bench::now_ns() - t0));
    if (!read_pid(fifo, &copy)) ++failures;
    if (i == 0) (void)waitpid(first, nullptr, 0);  // later copies are the Manager's children

    t0 = bench::now_ns();
    const pid_t c = spawn("");
    failures += !bench::wait_ready(fifo);
    floor.push_back(static_cast<double>(bench::now_ns() - t0));
    (void)waitpid(c, nullptr, 0);
  }
  close(fifo);
  if (failures != 0 || lib.empty()) {
    bench::not_measured("Manager restart: SIGKILL to new copy running, p99", "<= 1.05x",
                        "the Manager did not restart the probe");
    return;
  }
  bench::ratio_row("Manager restart: SIGKILL to new copy running, p99 vs fork+exec p99",
                   {bench::percentile(lib, 0.99), bench::percentile(floor, 0.99)}, 1.05,
                   std::to_string(lib.size()) + " restarts; p50 " + us(bench::percentile(lib, 0.5)) + " vs " +
                       us(bench::percentile(floor, 0.5)));
  (void)kill(copy, SIGKILL);
}

}  // namespace

namespace bench {

void manager_rows() {
  const pid_t echo = start_echo(kEchoPath, 0);
  const pid_t mgr = start_manager(0, {"--backoff", "0", "--backoff-cap", "0", "--max-restarts", "1000000",
                                      "--restart-window", "1", "--healthy", "0"});
  if (echo < 0 || !manager_up()) {
    not_measured("Manager rows", "", "the Manager did not start");
    stop_child(mgr);
    stop_child(echo);
    return;
  }
  // First, while this process holds no connection to the Manager that the
  // clients would inherit: each opens its own.
  many_clients();
  pin_to(0);
  registrations(false);
  drain(false);
  if (cpus() > 1) {
    (void)pin_pid(mgr, 1);
    (void)pin_pid(echo, 1);
    registrations(true);
    drain(true);
  }
  unpin();
  (void)pin_pid(mgr, -1);
  (void)pin_pid(echo, -1);
  restart();
  stop_child(mgr);
  stop_child(echo);
}

}  // namespace bench
