// The real Manager binary as the end-to-end tests drive it, its clients
// (the mgr_client mode of the test program) and raw packets on its socket.
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "kiv_comp_config.h"
#include "kiv_rpc.h"
#include "support/child.h"
#include "support/files.h"
#include "support/fixture.h"

namespace kiv::manager::test {

using kiv::test::monotonic_ms;
using kiv::test::read_file;

constexpr char kDaemonPath[] = KIV_BUILD_DIR "/tools/kiv";
constexpr char kKivctlPath[] = KIV_BUILD_DIR "/tools/kivctl";
// The library records a program by its executable, which for a link to
// the test program is the test program itself: the mode goes first.
constexpr char kClientPath[] = KIV_TEST_BIN_DIR "/kiv_test_program";

inline std::string scratch(const char* what) {
  static int serial = 0;
  return "/tmp/" + std::string(what) + "-" + std::to_string(getpid()) + "-" + std::to_string(++serial);
}

inline pid_t spawn(const std::vector<std::string>& argv, int out_fd, int nofile = 0) {
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

inline bool wait_until(const std::function<bool()>& cond, int timeout_ms) {
  for (const int64_t end = monotonic_ms() + timeout_ms;; usleep(5000)) {
    if (cond()) return true;
    if (monotonic_ms() > end) return false;
  }
}

inline int connect_raw() {
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
inline int64_t ask(int sd, const std::vector<uint8_t>& frame, int timeout_ms) {
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
inline int as_nobody(const std::function<int()>& fn) {
  kiv::test::Child child([&] {
    const gid_t group = 4242;
    const struct rlimit rl = {4096, 4096};
    const bool ok = setrlimit(RLIMIT_NOFILE, &rl) == 0 && setgroups(1, &group) == 0 &&
                    setresgid(65534, 65534, 65534) == 0 && setresuid(65534, 65534, 65534) == 0;
    return ok ? fn() : 120;
  });
  return kiv::test::exit_code(child.wait());
}

// Running, not a zombie.
inline bool alive(pid_t pid) {
  const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
  const size_t p = stat.rfind(") ");
  return p != std::string::npos && stat[p + 2] != 'Z' && stat[p + 2] != 'X';
}

inline bool reaped_within(pid_t pid, int timeout_ms) {
  return wait_until([&] { return !kiv::test::exists("/proc/" + std::to_string(pid)); }, timeout_ms);
}

// Started as a child with its log in a file; killed when it goes.
class Daemon {
 public:
  explicit Daemon(std::vector<std::string> args = {"-s", "0.01"}) : args_(std::move(args)) {}
  ~Daemon() { kill_hard(); }
  // Waits until it serves; with nofile, under that descriptor limit.
  bool start(int nofile = 0) {
    args_.insert(args_.begin(), kDaemonPath);
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
  bool wait_log(const std::string& needle, int timeout_ms, int count = 1) const {
    return wait_until([&] {
      const std::string text = log();
      int n = 0;
      for (size_t p = text.find(needle); p != std::string::npos; p = text.find(needle, p + 1)) ++n;
      return n >= count;
    }, timeout_ms);
  }

 private:
  std::vector<std::string> args_;
  std::string log_path_ = scratch("kiv-daemon");
  pid_t pid_ = -1;
};

// A mgr_client and the copies the Manager restarts, all writing one file.
class Client {
 public:
  explicit Client(std::vector<std::string> args) {
    args.insert(args.begin(), {kClientPath, "mgr_client", "-o", out_});
    first_ = spawn(args, -1);
  }
  ~Client() { kill_all(); }
  // The rest of the lines that begin with prefix.
  std::vector<std::string> lines(const std::string& prefix) const {
    std::vector<std::string> found;
    std::istringstream in(read_file(out_));
    for (std::string line; std::getline(in, line);) {
      if (line.compare(0, prefix.size(), prefix) == 0) found.push_back(line.substr(prefix.size()));
    }
    return found;
  }
  std::vector<pid_t> starts() const {
    std::vector<pid_t> pids;
    for (const std::string& p : lines("start ")) pids.push_back(static_cast<pid_t>(atol(p.c_str())));
    return pids;
  }
  pid_t wait_start(size_t n, int timeout_ms) const {  // pid of the n-th start, -1
    std::vector<pid_t> s;
    return wait_until([&] { return (s = starts()).size() >= n; }, timeout_ms) ? s[n - 1] : -1;
  }
  // The rest of the first line beginning with prefix.
  bool wait_line(const std::string& prefix, int timeout_ms, std::string* rest = nullptr) const {
    std::vector<std::string> l;
    if (!wait_until([&] { return !(l = lines(prefix)).empty(); }, timeout_ms)) return false;
    if (rest != nullptr) *rest = l[0];
    return true;
  }
  void kill_all() {
    // Instances the Manager restarted are not our children: only the pids
    // they recorded name them, each checked alive just before.
    for (pid_t p : starts()) {
      if (p != first_ && alive(p)) kill(p, SIGKILL);
    }
    if (first_ > 0 && kill(first_, SIGKILL) == 0) waitpid(first_, nullptr, 0);
    first_ = -1;
  }

 private:
  std::string out_ = scratch("client");
  pid_t first_ = -1;
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

}  // namespace kiv::manager::test
