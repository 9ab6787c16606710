// Running the small test programs (tests/programs/) as real child
// processes, with their standard output coming back through a pipe.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace kiv::test {

class TestProgram {
 public:
  // Starts KIV_TEST_BIN_DIR/name with args. With uid >= 0 the child takes
  // that user and group id before it executes the program.
  TestProgram(const std::string& name, const std::vector<std::string>& args, int uid = -1);
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
  // Waits for the program to end and returns its wait status.
  int wait();

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  std::string pending_;
};

}  // namespace kiv::test
