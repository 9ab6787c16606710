// Acknowledged registrations per second through the Manager, against the
// round trip of the same packet on a bare SOCK_SEQPACKET socket whose peer
// answers at once. Runs in the tests' sandbox: the daemon binds the
// device's socket path there, not on the host.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "frame.h"
#include "kiv_comp_config.h"
#include "kiv_rpc.h"
#include "sandbox/sandbox.h"

namespace {

using namespace kiv::manager;

constexpr char kEchoPath[] = "/tmp/bench-echo";

int connect_to(const char* path) {
  int sd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  struct sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path);
  for (int i = 0; i < 500; ++i) {
    if (connect(sd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return sd;
    usleep(10000);
  }
  close(sd);
  return -1;
}

// The reference peer: answers every packet with a bare header at once.
pid_t start_echo() {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  int lsd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  struct sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof addr.sun_path, "%s", kEchoPath);
  if (bind(lsd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(lsd, 8) != 0) _exit(1);
  uint8_t buf[kMaxPacket];
  kiv_msg ack = {};
  for (;;) {  // one connection at a time: each benchmark run makes its own
    const int sd = accept4(lsd, nullptr, nullptr, SOCK_CLOEXEC);
    for (;;) {
      const ssize_t n = recv(sd, buf, sizeof buf, 0);
      if (n <= 0) break;
      memcpy(&ack.msg_type, buf, 4);
      (void)send(sd, &ack, kHeaderLen, MSG_NOSIGNAL);
    }
    close(sd);
  }
}

pid_t start_daemon() {
  const pid_t pid = fork();
  if (pid == 0) {
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 2);
    execl(KIV_BUILD_DIR "/tools/kiv", "kiv", static_cast<char*>(nullptr));
    _exit(127);
  }
  return pid;
}

std::vector<uint8_t> registration() {
  char exe[256] = {};
  (void)!readlink("/proc/self/exe", exe, sizeof exe - 1);
  return make_frame(KIV_MSG_RESTART, "", make_exit_action(getpid(), 0, exe));
}

void round_trips(benchmark::State& state, const char* path) {
  const int sd = connect_to(path);
  if (sd < 0) {
    state.SkipWithError("cannot connect");
    return;
  }
  const auto frame = registration();
  uint8_t buf[kMaxPacket];
  for (auto _ : state) {
    if (send(sd, frame.data(), frame.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(frame.size()) ||
        recv(sd, buf, sizeof buf, 0) != static_cast<ssize_t>(kHeaderLen)) {
      state.SkipWithError("no acknowledgement");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
  close(sd);
}

// The same request answered by a peer that does nothing with it.
void BM_RawSocketRoundTrip(benchmark::State& state) { round_trips(state, kEchoPath); }
// A registration of this process (the daemon updates one entry each time).
void BM_ManagerRegistration(benchmark::State& state) { round_trips(state, KIV_SOCK_PATH); }
// The same through the library's call: health poll, send, acknowledgement wait.
void BM_ManagerRegistrationViaRpc(benchmark::State& state) {
  const auto frame = registration();
  for (auto _ : state) {
    if (kiv_rpc(KIV_MSG_RESTART, nullptr, frame.data() + kHeaderLen, kRecordLen, 1, 0) != 0) {
      state.SkipWithError("kiv_rpc failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_RawSocketRoundTrip)->UseRealTime();
BENCHMARK(BM_ManagerRegistration)->UseRealTime();
BENCHMARK(BM_ManagerRegistrationViaRpc)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  kiv::sandbox::enter_sandbox();
  if (!kiv::sandbox::sandbox_unavailable_reason().empty()) {
    fprintf(stderr, "bench_manager needs the sandbox: %s\n", kiv::sandbox::sandbox_unavailable_reason().c_str());
    return 1;
  }
  const pid_t echo = start_echo();
  const pid_t daemon = start_daemon();
  const int probe = connect_to(KIV_SOCK_PATH);
  if (probe < 0) {
    fprintf(stderr, "the Manager did not start\n");
    return 1;
  }
  close(probe);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  kill(daemon, SIGKILL);
  kill(echo, SIGKILL);
  waitpid(daemon, nullptr, 0);
  waitpid(echo, nullptr, 0);
  return 0;
}
