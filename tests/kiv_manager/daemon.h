// The real Manager binary as the end-to-end tests drive it: started as a
// child with its log in a file, stopped or killed on request, and always
// killed, with every client the test started, when the test ends.
#pragma once

#include <stdint.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace kiv::manager::test {

constexpr char kDaemonPath[] = KIV_BUILD_DIR "/tools/kiv";
constexpr char kKivctlPath[] = KIV_BUILD_DIR "/tools/kivctl";
constexpr char kClientPath[] = KIV_TEST_BIN_DIR "/mgr_client";

class Daemon {
 public:
  // args: options of the daemon; the test scale is the default.
  explicit Daemon(std::vector<std::string> args = {"-s", "0.01"});
  ~Daemon();
  Daemon(const Daemon&) = delete;
  Daemon& operator=(const Daemon&) = delete;

  // Starts it and waits until its socket accepts connections; with nofile,
  // under that descriptor limit (soft and hard, so it cannot raise it).
  bool start(int nofile = 0);
  // SIGKILL, and collects it.
  void kill_hard();
  // SIGTERM; returns the exit status (-1 when it did not end in 5 s).
  int stop();
  pid_t pid() const { return pid_; }
  std::string log() const;
  // Waits until the log holds needle count times.
  bool wait_log(const std::string& needle, int timeout_ms, int count = 1) const;
  int count_log(const std::string& needle) const;

 private:
  std::vector<std::string> args_;
  std::string log_path_;
  pid_t pid_ = -1;
};

// Runs a program to its end with stdout captured; returns its exit status.
int run_capture(const std::vector<std::string>& argv, std::string* out);

// A client process of mgr_client: its "start PID" lines live in out_path.
// With a VSD number it is started inside that VSD, as /sbin/mgr_client
// (which must exist), the way the VSD's programs are.
class Client {
 public:
  explicit Client(std::vector<std::string> args, int vsd = 0);
  ~Client();  // kills every instance it saw start
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;
  const std::string& out_path() const { return out_; }
  // The pids in "start" lines so far.
  std::vector<pid_t> starts() const;
  // Waits for at least n starts; returns the pid of the n-th.
  pid_t wait_start(size_t n, int timeout_ms) const;
  // Waits for a line beginning with prefix; returns the rest of it.
  bool wait_line(const std::string& prefix, int timeout_ms, std::string* rest = nullptr) const;
  void kill_all();

 private:
  std::string out_;
  pid_t first_ = -1;
};

// The whole content of a file, empty when it cannot be read.
std::string slurp(const std::string& path);
// A raw connection to the control socket, or -1.
int connect_raw();
// The type of the answer on sd, -1 when none came within timeout_ms, -2
// when the daemon closed the connection, -3 for an answer of a wrong size.
int64_t answer(int sd, int timeout_ms);
// One frame sent on sd; its answer as answer() gives it, -4 when not sent.
int64_t ask(int sd, const std::vector<uint8_t>& frame, int timeout_ms);

bool alive(pid_t pid);
// Ends every process of the sandbox but its pid 1 and the caller: programs
// that the Manager restarted while a test ended have no other owner.
void end_other_processes();
int64_t now_ms();

}  // namespace kiv::manager::test
