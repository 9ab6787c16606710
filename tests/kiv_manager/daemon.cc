// Driving the Manager binary and its clients in the end-to-end tests.
#include "daemon.h"

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

#include <sstream>

#include "kiv_comp_config.h"
#include "kiv_rpc.h"
#include "support/child.h"
#include "support/files.h"
#include "support/program.h"

namespace kiv::manager::test {
namespace {

int g_serial = 0;

std::string scratch(const char* what) {
  return "/tmp/" + std::string(what) + "-" + std::to_string(getpid()) + "-" + std::to_string(++g_serial);
}

pid_t spawn(const std::vector<std::string>& argv, int out_fd, int nofile = 0) {
  kiv::test::ProgramCommand command(argv[0], argv);
  const pid_t pid = fork();
  if (pid == 0) {
    if (out_fd >= 0) dup2(out_fd, 1), dup2(out_fd, 2);
    const struct rlimit rl = {static_cast<rlim_t>(nofile), static_cast<rlim_t>(nofile)};
    if (nofile > 0 && setrlimit(RLIMIT_NOFILE, &rl) != 0) _exit(126);
    // Device processes have it; without it every registration says so.
    setenv(KIV_DATA_TALU_ENV, "/data/.talu", 1);
    command.exec();
    _exit(127);
  }
  return pid;
}

}  // namespace

std::string slurp(const std::string& path) { return kiv::test::read_file(path); }

bool wait_until(const std::function<bool()>& cond, int timeout_ms) {
  const int64_t end = kiv::test::monotonic_ms() + timeout_ms;
  for (;; usleep(5000)) {
    if (cond()) return true;
    if (kiv::test::monotonic_ms() > end) return false;
  }
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

int64_t ask(int sd, const std::vector<uint8_t>& frame, int timeout_ms) {
  if (!frame.empty() && send(sd, frame.data(), frame.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(frame.size())) {
    return -4;
  }
  struct pollfd p = {sd, POLLIN, 0};
  if (poll(&p, 1, timeout_ms) <= 0) return -1;
  uint8_t buf[1024];
  const ssize_t n = recv(sd, buf, sizeof buf, 0);
  if (n <= 0) return -2;
  if (n != static_cast<ssize_t>(KIV_MSG_HDR_LEN)) return -3;
  uint32_t type;
  memcpy(&type, buf, sizeof type);
  return type;
}

int as_nobody(const std::function<int()>& fn) {
  kiv::test::Child child([&] {
    const gid_t group = 4242;
    const struct rlimit rl = {4096, 4096};
    if (setrlimit(RLIMIT_NOFILE, &rl) != 0 || setgroups(1, &group) != 0 || setresgid(65534, 65534, 65534) != 0 ||
        setresuid(65534, 65534, 65534) != 0) {
      return 120;
    }
    return fn();
  });
  return kiv::test::exit_code(child.wait());
}

bool alive(pid_t pid) {
  const std::string stat = slurp("/proc/" + std::to_string(pid) + "/stat");
  const size_t p = stat.rfind(") ");
  return p != std::string::npos && stat[p + 2] != 'Z' && stat[p + 2] != 'X';
}

bool reaped_within(pid_t pid, int timeout_ms) {
  return wait_until([&] { return !kiv::test::exists("/proc/" + std::to_string(pid)); }, timeout_ms);
}

void ManagerTest::TearDown() {
  for (int round = 0; round < 200; ++round) {
    bool any = false;
    for (const std::string& name : kiv::test::list_dir("/proc")) {
      const pid_t pid = static_cast<pid_t>(atoi(name.c_str()));
      if (pid > 1 && pid != getpid()) any = kill(pid, SIGKILL) == 0 || any;
    }
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    if (!any) break;
    usleep(5000);
  }
  SandboxTest::TearDown();
}

bool Daemon::start(int nofile) {
  std::vector<std::string> argv = {kDaemonPath};
  argv.insert(argv.end(), args_.begin(), args_.end());
  log_path_ = scratch("kiv-daemon");
  const int fd = open(log_path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  pid_ = spawn(argv, fd, nofile);
  close(fd);
  return wait_until([&] {
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) pid_ = -1;
    const int sd = pid_ > 0 ? connect_raw() : -1;
    if (sd >= 0) close(sd);
    return pid_ <= 0 || (sd >= 0 && log().find("serving on") != std::string::npos);
  }, 5000) && pid_ > 0;
}

void Daemon::kill_hard() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

int Daemon::stop() {
  int status = 0;
  if (pid_ <= 0 || kill(pid_, SIGTERM) != 0) return -1;
  if (!wait_until([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, 5000)) return -1;
  pid_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string Daemon::log() const { return slurp(log_path_); }

bool Daemon::wait_log(const std::string& needle, int timeout_ms, int count) const {
  return wait_until([&] {
    const std::string text = log();
    int n = 0;
    for (size_t p = text.find(needle); p != std::string::npos; p = text.find(needle, p + 1)) ++n;
    return n >= count;
  }, timeout_ms);
}

int run_capture(const std::vector<std::string>& argv, std::string* out) {
  const std::string path = scratch("capture");
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const pid_t pid = spawn(argv, fd);
  close(fd);
  int status = 0;
  (void)waitpid(pid, &status, 0);
  *out = slurp(path);
  unlink(path.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

Client::Client(std::vector<std::string> args) : out_(scratch("client")) {
  args.insert(args.begin(), {kClientPath, "mgr_client", "-o", out_});
  first_ = spawn(args, -1);
}

void Client::kill_all() {
  // Instances the Manager restarted are not our children: only the pids
  // they recorded name them, each checked alive just before.
  for (pid_t p : starts()) {
    if (p != first_ && alive(p)) kill(p, SIGKILL);
  }
  if (first_ > 0) {
    kill(first_, SIGKILL);
    waitpid(first_, nullptr, 0);
    first_ = -1;
  }
}

std::vector<pid_t> Client::starts() const {
  std::vector<pid_t> pids;
  std::istringstream in(slurp(out_));
  long pid;
  for (std::string line; std::getline(in, line);) {
    if (sscanf(line.c_str(), "start %ld", &pid) == 1) pids.push_back(static_cast<pid_t>(pid));
  }
  return pids;
}

pid_t Client::wait_start(size_t n, int timeout_ms) const {
  std::vector<pid_t> s;
  return wait_until([&] { return (s = starts()).size() >= n; }, timeout_ms) ? s[n - 1] : -1;
}

bool Client::wait_line(const std::string& prefix, int timeout_ms, std::string* rest) const {
  return wait_until([&] {
    std::istringstream in(slurp(out_));
    for (std::string line; std::getline(in, line);) {
      if (line.compare(0, prefix.size(), prefix) != 0) continue;
      if (rest != nullptr) *rest = line.substr(prefix.size());
      return true;
    }
    return false;
  }, timeout_ms);
}

}  // namespace kiv::manager::test
