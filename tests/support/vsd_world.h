// What the VSD tests build around the library inside the sandbox: probe
// programs in /sbin, start scripts, processes with chosen groups, and
// children in which calls that change the process run.
#pragma once

#include <sys/types.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "support/fixture.h"

namespace kiv::test {

inline constexpr char kProbeDir[] = "/tmp/vsd_probe";

// Base of the VSD tests: no process of an earlier test is left, no probe
// in /sbin, an empty /tmp/vsd_probe, and the test's processes are ended
// afterwards (every process of the sandbox but pid 1 and the test itself).
class VsdTest : public SandboxTest {
 protected:
  void SetUp() override;
  void TearDown() override;
};

// Ends every process in the sandbox except pid 1 and the caller, reaps
// the caller's children and removes the VSD cgroups.
void end_sandbox_processes();

// What a child printed on stdout and how it ended.
struct ChildRun {
  pid_t pid = -1;
  int status = -1;  // waitpid status
  std::string out;
  bool exited(int code) const;
};

// fn running in a forked child whose stdout goes to a memory file; the
// child ends with fn's result.
class ChildTask {
 public:
  explicit ChildTask(const std::function<int()>& fn);
  ~ChildTask();
  ChildTask(const ChildTask&) = delete;
  ChildTask& operator=(const ChildTask&) = delete;
  // Waits at most timeout_s seconds (then kills the child).
  ChildRun wait(int timeout_s = 60);

 private:
  pid_t pid_ = -1;
  int out_ = -1;
};

// A ChildTask waited for at once.
ChildRun run_in_child(const std::function<int()>& fn, int timeout_s = 60);

// A child that takes exactly these supplementary groups and waits. Ended
// by the destructor.
class GroupHolder {
 public:
  explicit GroupHolder(const std::vector<gid_t>& groups);
  ~GroupHolder();
  GroupHolder(const GroupHolder&) = delete;
  GroupHolder& operator=(const GroupHolder&) = delete;
  pid_t pid() const { return pid_; }
  // Waits for the holder to end; its waitpid status, or -1 when it still
  // runs after timeout_ms.
  int wait_end(int timeout_ms);

 private:
  pid_t pid_ = -1;
};

// /sbin/NAME as a link to the probe program.
void install_probe(const std::string& name);

// The start script of every VSD: it counts its runs in
// /tmp/vsd_probe/runs.N (one line with its argument per run), lets the probe
// vsd_probe_start_once record its surroundings, leaves vsd_probe_stay
// running, and also vsd_probe_ignterm when /tmp/vsd_probe/ignterm.N exists.
void install_start_script();

void write_file(const std::string& path, const std::string& text, mode_t mode = 0644);
std::string read_file(const std::string& path);
bool exists(const std::string& path);
// Permission bits of path, or -1.
int mode_of(const std::string& path);
// Inode of path's target (a namespace file or /proc/PID/ns/net), or 0.
unsigned long long inode_of(const std::string& path);
// Names in a directory, without "." and "..".
std::vector<std::string> list_dir(const std::string& path);

// The report of probe NAME with tag TAG, as key -> value; waits for it up
// to timeout_ms; empty when it didn't come.
std::map<std::string, std::string> probe_report(const std::string& name, const std::string& tag,
                                                int timeout_ms = 5000);
// Milliseconds of the monotonic clock.
long long now_ms();

}  // namespace kiv::test
