// The test programs (tests/programs/) as real child processes, their
// standard output coming back through a pipe (implemented in child.cc).
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace kiv::test {

// A program and its argument words (words[0] is its argv[0]), made ready
// before fork() so that the child has only execvp() left. Programs of this
// build run under KIV_TEST_EMULATOR when it is set (a cross build under
// qemu-user, without binfmt_misc); a system program that runs one of them
// (timeout 5 PROGRAM ...) gets the emulator in front of that word.
class ProgramCommand {
 public:
  ProgramCommand(const std::string& path, const std::vector<std::string>& words);
  ProgramCommand(const ProgramCommand&) = delete;
  ProgramCommand& operator=(const ProgramCommand&) = delete;
  // Replaces the process image; returns only when that failed.
  void exec();

 private:
  std::vector<std::string> words_;
  std::vector<char*> argv_;
};

// How the child is prepared before it executes the program.
struct ProgramOptions {
  std::string argv0;                         // the program's path when empty
  int uid = -1;                              // >= 0: take this user and group id, no groups
  std::optional<std::vector<gid_t>> groups;  // exactly these supplementary groups
  std::vector<std::string> cgroup_tasks;     // cgroup tasks files to join
  // The program writes one byte on descriptor 3 once it runs: the
  // constructor waits for it, so that the program is past exec.
  bool wait_ready = false;
};

class TestProgram {
 public:
  // Starts KIV_TEST_BIN_DIR/name with args.
  TestProgram(const std::string& name, const std::vector<std::string>& args, const ProgramOptions& opt = {});
  // Kills (SIGKILL) and reaps the program if it still runs.
  ~TestProgram();
  TestProgram(const TestProgram&) = delete;
  TestProgram& operator=(const TestProgram&) = delete;

  pid_t pid() const { return pid_; }
  // The next output line without its "\n"; nullopt at end of output or when
  // no whole line came within timeout_ms.
  std::optional<std::string> read_line(int timeout_ms = 5000);
  // Everything the program writes until it closes its output.
  std::string read_all(int timeout_ms = 5000);
  void kill(int sig);
  // The wait status once it has ended (also on later calls); -1 while it
  // still runs after timeout_ms (negative: as long as it takes).
  int wait(int timeout_ms = -1);
  // Whether it still runs (not ended, not a zombie).
  bool running() { return wait(0) == -1; }

 private:
  pid_t pid_ = -1;
  int status_ = -1;
  int out_ = -1;
  std::string pending_;
};

}  // namespace kiv::test
