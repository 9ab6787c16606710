// Driving the Manager binary and its clients in the end-to-end tests.
#include "daemon.h"

#include <dirent.h>
#include <errno.h>
#include <stdlib.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "kiv_comp_config.h"
#include "kiv_rpc.h"
#include "kiv_vsd.h"
#include "support/program.h"

namespace kiv::manager::test {

namespace {

int g_serial = 0;

pid_t spawn(const std::vector<std::string>& argv, int out_fd, int err_fd, int nofile = 0) {
  kiv::test::ProgramCommand command(argv[0], argv);
  const pid_t pid = fork();
  if (pid == 0) {
    if (out_fd >= 0) dup2(out_fd, 1);
    if (err_fd >= 0) dup2(err_fd, 2);
    const struct rlimit rl = {static_cast<rlim_t>(nofile), static_cast<rlim_t>(nofile)};
    if (nofile > 0 && setrlimit(RLIMIT_NOFILE, &rl) != 0) _exit(126);
    // Device processes have their data directory set; without it every
    // registration would say so on stdout.
    setenv(KIV_DATA_TALU_ENV, "/data/.talu", 1);
    command.exec();
    _exit(127);
  }
  return pid;
}

bool socket_accepts() {
  const int sd = connect_raw();
  if (sd >= 0) close(sd);
  return sd >= 0;
}

}  // namespace

std::string slurp(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

int connect_raw() {
  int sd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  struct sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof addr.sun_path, "%s", KIV_SOCK_PATH);
  if (connect(sd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(sd);
    return -1;
  }
  return sd;
}

int64_t answer(int sd, int timeout_ms) {
  struct pollfd p = {sd, POLLIN, 0};
  if (poll(&p, 1, timeout_ms) <= 0) return -1;
  uint8_t buf[1024];
  const ssize_t n = recv(sd, buf, sizeof buf, 0);
  if (n <= 0) return -2;
  if (n != static_cast<ssize_t>(KIV_MSG_HDR_LEN)) return -3;
  kiv_msg hdr;
  memcpy(&hdr, buf, sizeof hdr);
  return hdr.msg_type;
}

int64_t ask(int sd, const std::vector<uint8_t>& frame, int timeout_ms) {
  if (send(sd, frame.data(), frame.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(frame.size())) return -4;
  return answer(sd, timeout_ms);
}

int64_t now_ms() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

bool alive(pid_t pid) {
  char path[64], buf[512] = {};
  snprintf(path, sizeof path, "/proc/%d/stat", pid);
  FILE* f = fopen(path, "re");
  if (f == nullptr) return false;
  const size_t n = fread(buf, 1, sizeof buf - 1, f);
  fclose(f);
  buf[n] = '\0';
  const char* p = strrchr(buf, ')');
  return p != nullptr && p[1] == ' ' && p[2] != 'Z' && p[2] != 'X';
}

void end_other_processes() {
  for (int round = 0; round < 200; ++round) {
    bool any = false;
    if (DIR* d = opendir("/proc")) {
      while (struct dirent* e = readdir(d)) {
        const pid_t pid = static_cast<pid_t>(atoi(e->d_name));
        if (pid <= 1 || pid == getpid()) continue;
        any = true;
        kill(pid, SIGKILL);
      }
      closedir(d);
    }
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    if (!any) return;
    usleep(5000);
  }
}

Daemon::Daemon(std::vector<std::string> args) : args_(std::move(args)) {
  log_path_ = "/tmp/kiv-daemon-" + std::to_string(getpid()) + "-" + std::to_string(++g_serial) + ".log";
}

Daemon::~Daemon() { kill_hard(); }

bool Daemon::start(int nofile) {
  std::vector<std::string> argv = {kDaemonPath};
  argv.insert(argv.end(), args_.begin(), args_.end());
  int fd = open(log_path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  pid_ = spawn(argv, fd, fd, nofile);
  close(fd);
  for (int i = 0; i < 500; ++i) {
    if (socket_accepts() && log().find("serving on") != std::string::npos) return true;
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
      pid_ = -1;
      return false;
    }
    usleep(10000);
  }
  return false;
}

void Daemon::kill_hard() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

int Daemon::stop() {
  if (pid_ <= 0) return -1;
  kill(pid_, SIGTERM);
  for (int i = 0; i < 500; ++i) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    usleep(10000);
  }
  return -1;
}

std::string Daemon::log() const { return slurp(log_path_); }

int Daemon::count_log(const std::string& needle) const {
  const std::string text = log();
  int n = 0;
  for (size_t p = text.find(needle); p != std::string::npos; p = text.find(needle, p + 1)) ++n;
  return n;
}

bool Daemon::wait_log(const std::string& needle, int timeout_ms, int count) const {
  const int64_t end = now_ms() + timeout_ms;
  do {
    if (count_log(needle) >= count) return true;
    usleep(5000);
  } while (now_ms() < end);
  return false;
}

int run_capture(const std::vector<std::string>& argv, std::string* out) {
  char path[64];
  snprintf(path, sizeof path, "/tmp/capture-%d-%d", getpid(), ++g_serial);
  int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
  const pid_t pid = spawn(argv, fd, null);
  close(fd);
  close(null);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  *out = slurp(path);
  unlink(path);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

Client::Client(std::vector<std::string> args, int vsd) {
  out_ = "/tmp/client-" + std::to_string(getpid()) + "-" + std::to_string(++g_serial) + ".out";
  std::vector<std::string> argv = {kClientPath, "-o", out_};
  argv.insert(argv.end(), args.begin(), args.end());
  if (vsd == 0) {
    first_ = spawn(argv, -1, -1);
    return;
  }
  std::string cmd = "/sbin/mgr_client";
  for (size_t i = 1; i < argv.size(); ++i) cmd += " " + argv[i];
  first_ = fork();
  if (first_ == 0) {
    char buf[256];
    snprintf(buf, sizeof buf, "%s", cmd.c_str());
    (void)restart_proc_to_vsd(buf, vsd, 0);  // returns only when it failed
    _exit(127);
  }
}

Client::~Client() { kill_all(); }

void Client::kill_all() {
  // Instances that the Manager restarted are not our children: only the
  // pids they recorded name them, and each was checked alive just before.
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
  std::string word;
  long pid;
  std::string line;
  while (std::getline(in, line)) {
    if (sscanf(line.c_str(), "start %ld", &pid) == 1) pids.push_back(static_cast<pid_t>(pid));
  }
  return pids;
}

pid_t Client::wait_start(size_t n, int timeout_ms) const {
  const int64_t end = now_ms() + timeout_ms;
  do {
    auto s = starts();
    if (s.size() >= n) return s[n - 1];
    usleep(2000);
  } while (now_ms() < end);
  return -1;
}

bool Client::wait_line(const std::string& prefix, int timeout_ms, std::string* rest) const {
  const int64_t end = now_ms() + timeout_ms;
  do {
    std::istringstream in(slurp(out_));
    std::string line;
    while (std::getline(in, line)) {
      if (line.compare(0, prefix.size(), prefix) == 0) {
        if (rest != nullptr) *rest = line.substr(prefix.size());
        return true;
      }
    }
    usleep(2000);
  } while (now_ms() < end);
  return false;
}

}  // namespace kiv::manager::test
