// The real Manager binary as the end-to-end tests drive it, its clients
// (the mgr_client mode of the test program) and raw packets on its socket.
#pragma once

#include <stdint.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "support/fixture.h"

namespace kiv::manager::test {

constexpr char kDaemonPath[] = KIV_BUILD_DIR "/tools/kiv";
constexpr char kKivctlPath[] = KIV_BUILD_DIR "/tools/kivctl";
// The library records a program by its executable, which for a link to
// the test program is the test program itself: the mode goes first.
constexpr char kClientPath[] = KIV_TEST_BIN_DIR "/kiv_test_program";

// Started as a child with its log in a file; killed when it goes.
class Daemon {
 public:
  explicit Daemon(std::vector<std::string> args = {"-s", "0.01"}) : args_(std::move(args)) {}
  ~Daemon() { kill_hard(); }
  // Waits until it serves; with nofile, under that descriptor limit.
  bool start(int nofile = 0);
  void kill_hard();
  int stop();  // SIGTERM; the exit status, -1 when it did not end in 5 s
  pid_t pid() const { return pid_; }
  std::string log() const;
  bool wait_log(const std::string& needle, int timeout_ms, int count = 1) const;

 private:
  std::vector<std::string> args_;
  std::string log_path_;
  pid_t pid_ = -1;
};

// A mgr_client and the copies the Manager restarts, all writing one file.
class Client {
 public:
  explicit Client(std::vector<std::string> args);
  ~Client() { kill_all(); }
  std::vector<pid_t> starts() const;
  pid_t wait_start(size_t n, int timeout_ms) const;  // pid of the n-th start, -1
  // The rest of the first line beginning with prefix.
  bool wait_line(const std::string& prefix, int timeout_ms, std::string* rest = nullptr) const;
  void kill_all();

 private:
  std::string out_;
  pid_t first_ = -1;
};

// A program run to its end; its exit status, stdout and stderr in *out.
int run_capture(const std::vector<std::string>& argv, std::string* out);
int connect_raw();  // a connection to the control socket, or -1
// The type of the answer on sd after sending frame (when not empty): -1
// none in time, -2 connection closed, -3 not a bare header, -4 not sent.
int64_t ask(int sd, const std::vector<uint8_t>& frame, int timeout_ms);
// fn's result in a child of uid and gid 65534 with the extra group 4242.
int as_nobody(const std::function<int()>& fn);
bool alive(pid_t pid);                          // running, not a zombie
bool reaped_within(pid_t pid, int timeout_ms);  // gone from /proc
bool wait_until(const std::function<bool()>& cond, int timeout_ms);
std::string slurp(const std::string& path);

// Each test ends every process of the sandbox but its init and itself:
// what the Manager restarted has no other owner.
class ManagerTest : public kiv::test::SandboxTest {
 protected:
  void TearDown() override;
};

}  // namespace kiv::manager::test
