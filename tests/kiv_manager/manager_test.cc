// The Manager end to end: the real daemon binary, device programs that
// register through the library (the mgr_client mode of the test program),
// and other users' raw packets and held connections, in the sandbox, at a
// time scale of 0.01 unless a test says otherwise (120 s last 1.2 s).
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "base/unique_fd.h"
#include "frame.h"
#include "kiv_comp_config.h"
#include "kiv_rpc.h"
#include "support/child.h"
#include "support/files.h"
#include "support/fixture.h"

namespace kiv::manager::test {
namespace {

using kiv::test::monotonic_ms;
using kiv::test::read_file;
using kiv::test::wait_until;

constexpr char kDaemonPath[] = KIV_BUILD_DIR "/tools/kiv";
constexpr char kKivctlPath[] = KIV_BUILD_DIR "/tools/kivctl";
// The library records a program by its executable, which for a link to
// the test program is the test program itself: the mode goes first.
constexpr char kClientPath[] = KIV_TEST_BIN_DIR "/kiv_test_program";

std::string scratch(const char* what) {
  static int serial = 0;
  return "/tmp/" + std::string(what) + "-" + std::to_string(getpid()) + "-" + std::to_string(++serial);
}

pid_t spawn(const std::vector<std::string>& argv, int out_fd, int nofile = 0) {
  kiv::test::ProgramCommand command(argv[0], argv);
  return kiv::test::fork_running(kiv::test::ForkKind::kFork, out_fd, out_fd, [&] {
    const struct rlimit rl = {static_cast<rlim_t>(nofile), static_cast<rlim_t>(nofile)};
    if (nofile > 0 && setrlimit(RLIMIT_NOFILE, &rl) != 0) return 126;
    // Device processes have it; without it every registration says so.
    setenv(KIV_DATA_TALU_ENV, "/data/.talu", 1);
    command.exec();
    return 127;
  });
}

int connect_raw() {
  const int sd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  struct sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof addr.sun_path, "%s", KIV_SOCK_PATH);
  if (connect(sd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return sd;
  close(sd);
  return -1;
}

// The type of the answer on sd after sending frame (when not empty): -1
// none in time, -2 connection closed, -3 not a bare header, -4 not sent.
int64_t ask(int sd, const std::vector<uint8_t>& frame, int timeout_ms) {
  if (!frame.empty() && send(sd, frame.data(), frame.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(frame.size())) {
    return -4;
  }
  struct pollfd p = {sd, POLLIN, 0};
  uint8_t buf[1024] = {};
  if (poll(&p, 1, timeout_ms) <= 0) return -1;
  const ssize_t n = recv(sd, buf, sizeof buf, 0);
  uint32_t type;
  memcpy(&type, buf, sizeof type);
  return n <= 0 ? -2 : n != static_cast<ssize_t>(KIV_MSG_HDR_LEN) ? -3 : static_cast<int64_t>(type);
}

// fn's result in a child of uid and gid 65534 with the extra group 4242.
int as_nobody(const std::function<int()>& fn) {
  kiv::test::Child child([&] {
    const gid_t group = 4242;
    const struct rlimit rl = {4096, 4096};
    const bool ok = setrlimit(RLIMIT_NOFILE, &rl) == 0 && setgroups(1, &group) == 0 &&
                    setresgid(65534, 65534, 65534) == 0 && setresuid(65534, 65534, 65534) == 0;
    return ok ? fn() : 120;
  });
  return kiv::test::exit_code(child.wait());
}

bool reaped_within(pid_t pid, int timeout_ms) {
  return wait_until([&] { return !kiv::test::exists("/proc/" + std::to_string(pid)); }, timeout_ms);
}

// Started as a child with its log in a file; killed when it goes.
class Daemon {
 public:
  explicit Daemon(std::vector<std::string> args = {"-s", "0.01"}) : args_(std::move(args)) {
    args_.insert(args_.begin(), kDaemonPath);
  }
  ~Daemon() { kill_hard(); }
  // Waits until it serves; with nofile, under that descriptor limit.
  bool start(int nofile = 0) {
    const int fd = open(log_path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    pid_ = spawn(args_, fd, nofile);
    close(fd);
    return wait_until([&] {
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) pid_ = -1;
      const int sd = pid_ > 0 ? connect_raw() : -1;
      if (sd >= 0) close(sd);
      return pid_ <= 0 || (sd >= 0 && log().find("serving on") != std::string::npos);
    }, 5000) && pid_ > 0;
  }
  void kill_hard() {
    if (pid_ > 0 && kill(pid_, SIGKILL) == 0) waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  int stop() {  // SIGTERM; the exit status, -1 when it did not end in 5 s
    int status = 0;
    if (pid_ <= 0 || kill(pid_, SIGTERM) != 0 || !kiv::test::reap(pid_, &status, 5000)) return -1;
    pid_ = -1;
    return kiv::test::exit_code(status);
  }
  pid_t pid() const { return pid_; }
  std::string log() const { return read_file(log_path_); }

 private:
  std::vector<std::string> args_;
  std::string log_path_ = scratch("kiv-daemon");
  pid_t pid_ = -1;
};

// A mgr_client and the copies the Manager restarts, all writing one file;
// the fixture ends them.
class Client {
 public:
  Client() { (void)spawn({kClientPath, "mgr_client", out_}, -1); }
  // The numbers on the lines of word ("start PID", "registered MS").
  std::vector<int> numbers(const std::string& word) const {
    std::vector<int> found;
    std::istringstream in(read_file(out_));
    int v;
    for (std::string w; in >> w >> v;) {
      if (w == word) found.push_back(v);
    }
    return found;
  }
  std::vector<pid_t> starts() const { return numbers("start"); }
  int wait_for(const std::string& word, size_t n, int timeout_ms) const {  // the n-th number, -1
    std::vector<int> s;
    return wait_until([&] { return (s = numbers(word)).size() >= n; }, timeout_ms) ? s[n - 1] : -1;
  }
  pid_t wait_start(size_t n, int timeout_ms) const { return wait_for("start", n, timeout_ms); }

 private:
  std::string out_ = scratch("client");
};

// Each test ends every process of the sandbox but its init and itself:
// what the Manager restarted has no other owner.
class ManagerTest : public kiv::test::SandboxTest {
 protected:
  void TearDown() override {
    for (bool any = true; any && round_++ < 200; usleep(5000)) {
      any = false;
      for (const std::string& name : kiv::test::list_dir("/proc")) {
        const pid_t pid = static_cast<pid_t>(atoi(name.c_str()));
        if (pid > 1 && pid != getpid()) any = kill(pid, SIGKILL) == 0 || any;
      }
      while (waitpid(-1, nullptr, WNOHANG) > 0) {
      }
    }
    SandboxTest::TearDown();
  }
  int round_ = 0;
};

// Its tests measure a second of CPU each: ctest runs them on their own.
class ManagerSlow : public ManagerTest {};

int sockets_of(pid_t pid) {
  const std::string dir = "/proc/" + std::to_string(pid) + "/fd/";
  int n = 0;
  for (const std::string& fd : kiv::test::list_dir(dir)) {
    char buf[64] = {};
    n += readlink((dir + fd).c_str(), buf, sizeof buf - 1) > 0 && strncmp(buf, "socket:", 7) == 0;
  }
  return n;
}

double cpu_s(pid_t pid) {
  const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
  unsigned long utime = 0, stime = 0;  // fields 14 and 15; field 3 follows ')'
  (void)sscanf(stat.c_str() + stat.rfind(')') + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime,
               &stime);
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// fn as uid 65534 in a child that runs on until the test ends it; back once
// fn has called ready.
std::unique_ptr<kiv::test::Child> stranger(const std::function<void(const std::function<void()>&)>& fn) {
  int p[2];
  if (pipe2(p, O_CLOEXEC) != 0) return nullptr;
  auto child = std::make_unique<kiv::test::Child>([&] {
    if (setresuid(65534, 65534, 65534) != 0) return 1;
    fn([&] { (void)!write(p[1], "r", 1); });
    for (;;) pause();
  });
  close(p[1]);
  char c;
  const bool ok = read(p[0], &c, 1) == 1;
  close(p[0]);
  return ok ? std::move(child) : nullptr;
}

// Many deaths at once, three times over, with the default policy in real
// time: each comes back at once as exactly one copy, every copy that ends
// is reaped, also once its registration is withdrawn. A Manager killed and
// started again keeps the registrations.
TEST_F(ManagerTest, EachDeathRestartsOneCopyAtOnceAndEveryCopyIsReaped) {
  constexpr size_t kClients = 10;
  Daemon d(std::vector<std::string>{});
  ASSERT_TRUE(d.start()) << d.log();
  std::vector<std::unique_ptr<Client>> clients;
  for (size_t i = 0; i < kClients; ++i) clients.push_back(std::make_unique<Client>());
  for (auto& c : clients) {
    const int ms = c->wait_for("registered", 1, 10000);
    ASSERT_GE(ms, 0) << d.log();
    EXPECT_LT(ms, 4000) << "an acknowledgement was waited for";
  }
  for (size_t round = 1; round <= 3; ++round) {
    std::vector<pid_t> old;
    for (auto& c : clients) old.push_back(c->starts().back());
    const int64_t t0 = monotonic_ms();
    for (pid_t p : old) kill(p, SIGKILL);
    for (auto& c : clients) ASSERT_GT(c->wait_start(round + 1, 3000), 0) << round << "\n" << d.log();
    EXPECT_LT(monotonic_ms() - t0, 1000) << round;  // a restart held back waits a second
    // Each copy registers itself again; an extra copy would show by then.
    for (auto& c : clients) ASSERT_GE(c->wait_for("registered", round + 1, 5000), 0) << round;
    usleep(200000);
    for (auto& c : clients) EXPECT_EQ(round + 1, c->starts().size()) << round;
    EXPECT_GE(1, sockets_of(clients[0]->starts().back())) << "the Manager's connections inherited";
    for (pid_t p : old) {
      if (round == 1) (void)waitpid(p, nullptr, 0);  // the test's own children
      EXPECT_TRUE(reaped_within(p, 1000)) << p << " round " << round;
    }
  }
  const pid_t last = clients[0]->starts().back();
  kiv::unique_fd sd(connect_raw());
  EXPECT_EQ(5, ask(sd.get(), make_frame(5, "", make_cancel(0, last)), 1000));
  kill(last, SIGKILL);
  EXPECT_TRUE(reaped_within(last, 1000)) << d.log();
  usleep(100000);
  EXPECT_EQ(4u, clients[0]->starts().size());
  d.kill_hard();
  ASSERT_TRUE(d.start()) << d.log();
  kill(clients[1]->starts().back(), SIGKILL);
  EXPECT_GT(clients[1]->wait_start(5, 3000), 0) << d.log();
}

// The service manager's end of the readiness protocol, a datagram socket
// named by a path or (leading '@') by an abstract name; one instance only;
// the exit marker while none runs. A run directory another user made
// first is not trusted.
TEST_F(ManagerTest, ReadinessOneInstanceExitMarkerAndRunDirectory) {
  ASSERT_EQ(0, chown("/tmp/kiv", 65534, 65534));
  for (const std::string name : {"@kiv-test-notify", "/tmp/notify.sock"}) {
    kiv::unique_fd sock(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path, name.data(), name.size());
    if (name[0] == '@') addr.sun_path[0] = '\0';
    ASSERT_EQ(0, bind(sock.get(), reinterpret_cast<sockaddr*>(&addr),
                      static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size())));
    auto next = [&] {
      struct pollfd p = {sock.get(), POLLIN, 0};
      char buf[64] = {};
      return poll(&p, 1, 2000) == 1 && recv(p.fd, buf, sizeof buf - 1, 0) > 0 ? std::string(buf) : "none";
    };
    // A socket file left by a dead Manager is replaced; an old exit marker goes.
    kiv::test::write_file(KIV_SOCK_PATH);
    kiv::test::write_file(KIV_STATUS_FILE);
    setenv("NOTIFY_SOCKET", name.c_str(), 1);
    Daemon d, second;
    ASSERT_TRUE(d.start()) << d.log();
    EXPECT_FALSE(second.start());
    unsetenv("NOTIFY_SOCKET");
    EXPECT_EQ("READY=1", next()) << name;
    EXPECT_FALSE(kiv::test::exists(KIV_STATUS_FILE));
    Client c;  // what it starts does not report in its name
    ASSERT_GE(c.wait_for("registered", 1, 3000), 0);
    kill(c.wait_start(1, 0), SIGKILL);
    const pid_t restarted = c.wait_start(2, 2000);
    ASSERT_GT(restarted, 0) << d.log();
    EXPECT_EQ(std::string::npos, read_file("/proc/" + std::to_string(restarted) + "/environ").find("NOTIFY_SOCKET"));
    EXPECT_EQ(0, d.stop());
    EXPECT_EQ("STOPPING=1", next()) << name;
    EXPECT_TRUE(kiv::test::exists(KIV_STATUS_FILE));
    EXPECT_FALSE(kiv::test::exists(KIV_SOCK_PATH));
    (void)unlink("/tmp/notify.sock");
  }
  struct stat st;
  ASSERT_EQ(0, lstat("/tmp/kiv", &st));
  EXPECT_EQ(0u, st.st_uid);
}

// Malformed packets close their connection only. Another user's requests
// about root's process are acknowledged, refused and counted; a connection
// over its limit is turned away, an idle one closed; its own process is
// restarted with its uid and groups.
TEST_F(ManagerTest, BadPacketsAndAnotherUsersRequestsAreRefusedAndItsIdleConnectionClosed) {
  Daemon d({"-s", "0.01", "--idle-timeout", "0.3", "--max-per-user", "2"});
  ASSERT_TRUE(d.start());
  auto long_len = make_frame(1, "", make_exit_action(1, 0, "/x"));
  long_len[4] = 0x41;  // msg_len one more than the payload
  for (const auto& p : {std::vector<uint8_t>(7, 1), long_len, make_frame(5, "", {})}) {
    kiv::unique_fd sd(connect_raw());
    EXPECT_EQ(-2, ask(sd.get(), p, 2000)) << p.size() << " bytes";
  }
  Client victim;
  const pid_t pid = victim.wait_start(1, 3000);
  ASSERT_GE(victim.wait_for("registered", 1, 3000), 0);
  kiv::test::write_file("/tmp/who.sh", "{ id -u; id -g; id -G; } >/tmp/who.new; mv /tmp/who.new /tmp/who; sleep 60");
  const int64_t t0 = monotonic_ms();
  EXPECT_EQ(0, as_nobody([&] {
    kiv::unique_fd sd(connect_raw());
    kiv::unique_fd second(connect_raw()), third(connect_raw());  // one over its limit
    const auto own = make_frame(1, "", make_exit_action(getpid(), 0, "/bin/sh /tmp/who.sh"));
    return (ask(sd.get(), make_frame(1, "", make_exit_action(pid, 0, "/bin/evil")), 2000) != 1) +
           (ask(sd.get(), make_frame(5, "", make_cancel(0, pid)), 2000) != 5) * 2 +
           (ask(third.get(), {}, 200) != -2) * 4 + (ask(second.get(), {}, 0) != -1) * 8 +
           (ask(sd.get(), own, 2000) != 1) * 16 + (ask(sd.get(), {}, 2000) != -2) * 32;
  }));
  EXPECT_GE(monotonic_ms() - t0, 300);
  EXPECT_TRUE(wait_until([] { return read_file("/tmp/who") == "65534\n65534\n65534 4242\n"; }, 3000)) << d.log();
  kiv::test::ProgramCommand kivctl(kKivctlPath, {kKivctlPath, "status"});
  std::string status;
  EXPECT_TRUE(wait_until([&] {
    status = kiv::test::run_in_child([&] { return kivctl.exec(), 127; }, 5).output;
    return status.find("refused requests: 2\n") != std::string::npos &&
           status.find("closed idle: 0\n") == std::string::npos;
  }, 3000)) << status;
  kill(pid, SIGKILL);
  EXPECT_GT(victim.wait_start(2, 1000), 0) << d.log();
}

// One user's held connections, or no descriptor left at all, starve
// neither restarts nor root's registrations nor the CPU.
TEST_F(ManagerSlow, HeldConnectionsAndNoDescriptorsStarveNothing) {
  // nofile -1: no new descriptor at all.
  for (const auto& [nofile, connections] : {std::pair{64, 1024}, {-1, 50}}) {
    SCOPED_TRACE(nofile);
    (void)unlink("/tmp/kiv/registrations");  // the last row's clients stay ended
    Daemon d;
    ASSERT_TRUE(d.start(nofile > 0 ? nofile : 0));
    Client service;
    const pid_t first = service.wait_start(1, 3000);
    ASSERT_GE(service.wait_for("registered", 1, 3000), 0);
    struct rlimit before;
    ASSERT_EQ(0, prlimit(d.pid(), RLIMIT_NOFILE, nullptr, &before));
    const struct rlimit none = {3, before.rlim_max};
    ASSERT_EQ(0, prlimit(d.pid(), RLIMIT_NOFILE, nofile < 0 ? &none : nullptr, nullptr));
    auto attacker = stranger([&](const std::function<void()>& ready) {
      for (int i = 0; i < connections; ++i) (void)connect_raw();  // kept open
      ready();
    });
    ASSERT_NE(nullptr, attacker);
    usleep(100000);
    auto restart_and_register = [&] {
      const int64_t t1 = monotonic_ms();
      kill(first, SIGKILL);
      EXPECT_GT(service.wait_start(2, 1000), 0) << d.log();
      EXPECT_LT(monotonic_ms() - t1, 1000);
      Client late;  // root registers anew while the connections are held
      const int ms = late.wait_for("registered", 1, 3000);
      EXPECT_GE(ms, 0) << d.log();
      EXPECT_LT(ms, 1000);
    };
    const double cpu0 = cpu_s(d.pid());
    const int64_t t0 = monotonic_ms();
    if (nofile >= 0) restart_and_register();
    while (monotonic_ms() - t0 < 1000) usleep(10000);
    EXPECT_LT((cpu_s(d.pid()) - cpu0) / static_cast<double>(monotonic_ms() - t0) * 1000, 0.05);
    if (nofile < 0) {
      ASSERT_EQ(0, prlimit(d.pid(), RLIMIT_NOFILE, &before, nullptr));
      restart_and_register();
    }
  }
}

}  // namespace
}  // namespace kiv::manager::test
