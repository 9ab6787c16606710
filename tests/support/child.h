// Child processes for tests: forked code, test programs (tests/programs/), wait statuses and the
// monotonic clock. What a child prints goes to a memory file: it never waits for a reader.
#pragma once

#include <stdint.h>
#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace kiv::test {

// A sanitizer build's runtime changes some measures of a process (memory, signals).
#if defined(__SANITIZE_THREAD__)
inline constexpr bool kThreadSanitized = true, kSanitized = true;
#elif defined(__SANITIZE_ADDRESS__)
inline constexpr bool kThreadSanitized = false, kSanitized = true;
#else
inline constexpr bool kThreadSanitized = false, kSanitized = false;
#endif
// Resident KiB of a small test program beyond what it touched (TSan's shadow: ~23 MiB).
inline constexpr unsigned kOwnPagesKiB = kThreadSanitized ? 32768 : kSanitized ? 8192 : 1024;

struct ChildResult {
  pid_t pid = -1;
  int status = -1;     // raw waitpid status
  std::string output;  // the child's stdout
  std::string errors;  // its stderr, when captured
  bool exited(int code) const;
  bool signaled(int sig) const;
};

// fork() runs the pthread_atfork handlers; _Fork() and a bare clone() none.
enum class ForkKind { kFork, kUnderscoreFork, kClone };
const char* fork_kind_name(ForkKind kind);

// fn in a child with stdout on out (stderr on err if >= 0); it exits with fn's result.
pid_t fork_running(ForkKind kind, int out, int err, const std::function<int()>& fn);
// Reaps pid; false while it still runs after timeout_ms (negative: no limit).
bool reap(pid_t pid, int* status, int timeout_ms);

// fn in a child whose output goes to memory files; the destructor kills it if unwaited.
class Child {
 public:
  explicit Child(const std::function<int()>& fn, bool capture_stderr = false, ForkKind kind = ForkKind::kFork);
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  pid_t pid() const { return pid_; }
  // Kills the child and fails the test after timeout_s seconds.
  ChildResult wait(int timeout_s = 60);

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  int err_ = -1;
};

ChildResult run_in_child(const std::function<int()>& fn, int timeout_s = 60);

// Exit code of a wait status; -1000 - signal when killed.
int exit_code(int status);
inline int exit_code(const ChildResult& r) { return exit_code(r.status); }

pid_t ended_pid();  // of a child already reaped
int64_t monotonic_ms();

// A program and its words (words[0] is argv[0]), built before fork() so the child only
// execs. This build's programs run under KIV_TEST_EMULATOR when set.
class ProgramCommand {
 public:
  ProgramCommand(const std::string& path, const std::vector<std::string>& words);
  ProgramCommand(const ProgramCommand&) = delete;
  ProgramCommand& operator=(const ProgramCommand&) = delete;
  void exec();

 private:
  std::vector<std::string> words_;
  std::vector<char*> argv_;
};

struct ProgramOptions {
  std::string argv0;                         // the program's path when empty
  int uid = -1;                              // >= 0: take this user and group id, no groups
  std::optional<std::vector<gid_t>> groups;  // exactly these supplementary groups
  // The constructor waits for the program's byte on descriptor 3: past exec.
  bool wait_ready = false;
};

class TestProgram {
 public:
  TestProgram(const std::string& name, const std::vector<std::string>& args, const ProgramOptions& opt = {});
  // SIGKILLs and reaps the program if it still runs.
  ~TestProgram();
  TestProgram(const TestProgram&) = delete;
  TestProgram& operator=(const TestProgram&) = delete;

  pid_t pid() const { return pid_; }
  // What it printed, once it ended or timeout_ms passed.
  std::string read_all(int timeout_ms = 5000);
  // The wait status, kept for later calls; -1 while it runs after timeout_ms (< 0: no limit).
  int wait(int timeout_ms = -1);
  bool running() { return wait(0) == -1; }

 private:
  pid_t pid_ = -1;
  int status_ = -1;
  int out_ = -1;
};

}  // namespace kiv::test
