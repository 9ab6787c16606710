// What the client calls cost next to the system calls they are made of,
// measured side by side in one run and printed as ratios:
//   - the heartbeat of a registered thread against one access() of a
//     missing file (the one system call the heartbeat makes);
//   - kiv_rpc with acknowledgement against a bare send/poll/recv round trip
//     of the same packet over SOCK_SEQPACKET, both with the same peer
//     process, which answers every packet at once.
// Runs in the tests' sandbox (private namespaces, a throwaway root), so it
// touches none of the host's paths; it needs root.
#include <benchmark/benchmark.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "kiv_comp_config.h"
#include "kiv_dbg.h"
#include "kiv_rpc.h"
#include "kiv_sys_alive.h"
#include "kiv_xtach.h"
#include "sandbox/sandbox.h"

namespace {

constexpr char kMissing[] = "/data/.kiv_lib_debug_pid";
constexpr int kBeatBlock = 256;  // calls timed together
constexpr int kRpcBlock = 16;
constexpr size_t kMaxPacket = 65536;

// Median nanoseconds per call of each measured operation.
std::map<std::string, double> g_median_ns;

int64_t now_ns() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// The Manager's part: accepts connections on the control socket and answers
// every packet with a bare header, in one process.
pid_t start_peer() {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  int lsd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  struct sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof addr.sun_path, "%s", KIV_SOCK_PATH);
  (void)unlink(KIV_SOCK_PATH);
  if (bind(lsd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(lsd, 8) != 0) _exit(1);
  std::vector<pollfd> fds = {{lsd, POLLIN, 0}};
  std::vector<uint8_t> buf(kMaxPacket);
  kiv_msg ack = {};
  for (;;) {
    if (poll(fds.data(), fds.size(), -1) < 0) continue;
    for (size_t i = 1; i < fds.size(); ++i) {
      if (fds[i].revents == 0) continue;
      const ssize_t n = recv(fds[i].fd, buf.data(), buf.size(), 0);
      if (n <= 0) {
        close(fds[i].fd);
        fds.erase(fds.begin() + static_cast<long>(i--));
        continue;
      }
      memcpy(&ack.msg_type, buf.data(), sizeof ack.msg_type);
      (void)send(fds[i].fd, &ack, KIV_MSG_HDR_LEN, MSG_NOSIGNAL);
    }
    if (fds[0].revents & POLLIN) {
      const int sd = accept4(lsd, nullptr, nullptr, SOCK_CLOEXEC);
      if (sd >= 0) fds.push_back({sd, POLLIN, 0});
    }
  }
}

int connect_peer() {
  int sd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  struct sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof addr.sun_path, "%s", KIV_SOCK_PATH);
  for (int i = 0; i < 500; ++i) {
    if (connect(sd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return sd;
    usleep(10000);
  }
  close(sd);
  return -1;
}

void BM_HeartbeatVsAccess(benchmark::State& state) {
  const int pid = getpid();
  const int tid = static_cast<int>(syscall(SYS_gettid));
  if (kiv_sys_init_alive_info(1) != 0 || kiv_sys_reg_alive_info(tid) != 0) {
    state.SkipWithError("the alive table cannot be mapped");
    return;
  }
  std::vector<double> beat_ns, access_ns;
  bool beat_first = true;
  for (auto _ : state) {
    for (int pass = 0; pass < 2; ++pass) {
      const bool beats = (pass == 0) == beat_first;
      const int64_t start = now_ns();
      if (beats) {
        for (int i = 0; i < kBeatBlock; ++i) {
          benchmark::DoNotOptimize(kiv_client_reset_thread_notify(pid, tid, 1, 1));
        }
      } else {
        for (int i = 0; i < kBeatBlock; ++i) benchmark::DoNotOptimize(access(kMissing, F_OK));
      }
      (beats ? beat_ns : access_ns).push_back(static_cast<double>(now_ns() - start) / kBeatBlock);
    }
    beat_first = !beat_first;
  }
  const double b = median(beat_ns), a = median(access_ns);
  g_median_ns["heartbeat"] = b;
  g_median_ns["access"] = a;
  state.counters["heartbeat_ns"] = b;
  state.counters["access_ns"] = a;
  state.counters["ratio"] = a > 0 ? b / a : 0;
  (void)kiv_sys_unreg_alive_info(tid);
}

void BM_RpcVsRawRoundTrip(benchmark::State& state) {
  const int raw = connect_peer();
  if (raw < 0) {
    state.SkipWithError("no peer");
    return;
  }
  kiv_exit_action_rec rec;
  memset(&rec, 0, sizeof rec);
  rec.pid = getpid();
  // The same packet both ways: header and the 320-byte payload.
  std::vector<uint8_t> frame(KIV_MSG_HDR_LEN + sizeof rec, 0);
  kiv_msg hdr = {};
  hdr.msg_type = KIV_MSG_RESTART;
  hdr.msg_len = sizeof rec;
  memcpy(frame.data(), &hdr, KIV_MSG_HDR_LEN);
  memcpy(frame.data() + KIV_MSG_HDR_LEN, &rec, sizeof rec);
  std::vector<uint8_t> ack(kMaxPacket);
  (void)kiv_rpc(KIV_MSG_RESTART, nullptr, &rec, sizeof rec, 1, 0);  // connects
  std::vector<double> rpc_ns, raw_ns;
  bool rpc_first = true;
  int failures = 0;
  for (auto _ : state) {
    for (int pass = 0; pass < 2; ++pass) {
      const bool rpc = (pass == 0) == rpc_first;
      const int64_t start = now_ns();
      for (int i = 0; i < kRpcBlock; ++i) {
        if (rpc) {
          if (kiv_rpc(KIV_MSG_RESTART, nullptr, &rec, sizeof rec, 1, 0) != 0) ++failures;
        } else {
          if (send(raw, frame.data(), frame.size(), MSG_DONTWAIT | MSG_NOSIGNAL) !=
              static_cast<ssize_t>(frame.size())) {
            ++failures;
          }
          struct pollfd pfd = {raw, POLLIN, 0};
          if (poll(&pfd, 1, 1000) != 1 || recv(raw, ack.data(), ack.size(), 0) <= 0) ++failures;
        }
      }
      (rpc ? rpc_ns : raw_ns).push_back(static_cast<double>(now_ns() - start) / kRpcBlock);
    }
    rpc_first = !rpc_first;
  }
  close(raw);
  if (failures != 0) {
    state.SkipWithError("round trips failed");
    return;
  }
  const double r = median(rpc_ns), w = median(raw_ns);
  g_median_ns["rpc"] = r;
  g_median_ns["raw"] = w;
  state.counters["rpc_ns"] = r;
  state.counters["raw_ns"] = w;
  state.counters["ratio"] = w > 0 ? r / w : 0;
}

BENCHMARK(BM_HeartbeatVsAccess)->MinTime(2.0);
BENCHMARK(BM_RpcVsRawRoundTrip)->MinTime(2.0);

void print_ratio(const char* what, const char* a, const char* b, double target) {
  const double x = g_median_ns[a], y = g_median_ns[b];
  if (x <= 0 || y <= 0) {
    printf("%-44s not measured\n", what);
    return;
  }
  const double ratio = x / y;
  printf("%-44s %8.0f ns / %8.0f ns = %.3fx (target <= %.1fx: %s)\n", what, x, y, ratio, target,
         ratio <= target ? "met" : "NOT met");
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  kiv::sandbox::enter_sandbox();
  if (!kiv::sandbox::sandbox_unavailable_reason().empty()) {
    fprintf(stderr, "bench_client runs only in the sandbox: %s\n",
            kiv::sandbox::sandbox_unavailable_reason().c_str());
    return 1;
  }
  for (int i = 0; i < KIV_DBG_LEVELS; ++i) g_kiv_dbg_level[i] = KIV_DBG_OFF;
  const pid_t peer = start_peer();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  kill(peer, SIGKILL);
  (void)waitpid(peer, nullptr, 0);
  printf("\nmedians of blocks measured alternately in this run:\n");
  print_ratio("heartbeat / access() of a missing file", "heartbeat", "access", 1.1);
  print_ratio("kiv_rpc with ack / raw send+poll+recv", "rpc", "raw", 1.2);
  return 0;
}
