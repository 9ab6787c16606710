// Test programs (tests/programs/) as real child processes, stdout through a pipe (child.cc).
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace kiv::test {

// A program and its words (words[0] is argv[0]), built before fork() so the child
// only execs. This build's programs run under KIV_TEST_EMULATOR when set (also
// one run by a system program: timeout 5 PROGRAM).
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
  std::vector<std::string> cgroup_tasks;     // cgroup tasks files to join
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
  // The next line without "\n"; nullopt at end of output or after timeout_ms.
  std::optional<std::string> read_line(int timeout_ms = 5000);
  std::string read_all(int timeout_ms = 5000);
  void kill(int sig);
  // The wait status, kept for later calls; -1 while it runs after timeout_ms (< 0: no limit).
  int wait(int timeout_ms = -1);
  bool running() { return wait(0) == -1; }

 private:
  pid_t pid_ = -1;
  int status_ = -1;
  int out_ = -1;
  std::string pending_;
};

}  // namespace kiv::test
