// What the VSD tests build around the library inside the sandbox: probe
// programs in /sbin, start scripts, processes with chosen groups, cgroups
// and resident memory, and bare member directories.
#pragma once

#include <sys/types.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "support/child.h"
#include "support/files.h"
#include "support/fixture.h"
#include "support/program.h"

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

// A running vsd_res_hog that holds kib KiB of touched, locked anonymous
// memory, with exactly the supplementary groups given, in the cgroups whose
// tasks files are given (so that all of its memory is charged there).
// With kib 0 it is a plain member-like process of those groups.
class Hog : public TestProgram {
 public:
  Hog(unsigned kib, const std::vector<gid_t>& groups, const std::vector<std::string>& tasks_files = {});
  // Waits up to a second for it to end: true when it was killed by sig.
  bool killed_by(int sig);
};

// /sbin/NAME as a link to the probe program.
void install_probe(const std::string& name);

// The start script of every VSD: it counts its runs in
// /tmp/vsd_probe/runs.N (one line with its argument per run), lets the probe
// vsd_probe_start_once record its surroundings, leaves vsd_probe_stay
// running, and also vsd_probe_ignterm when /tmp/vsd_probe/ignterm.N exists.
void install_start_script();

// The report of probe NAME with tag TAG, as key -> value; waits for it up
// to timeout_ms; empty when it didn't come.
std::map<std::string, std::string> probe_report(const std::string& name, const std::string& tag,
                                                int timeout_ms = 5000);

// Makes /tmp/vsd/N/kiv/db (and the directories above it).
void make_member_dir(int vsd_no);
// An empty member file /tmp/vsd/N/kiv/PID.
void add_member(int vsd_no, pid_t pid);
// The pids in a cgroup tasks file.
std::set<pid_t> tasks_of(const std::string& tasks_file);
// The text of a kernel file without its line end.
std::string control_value(const std::string& path);

}  // namespace kiv::test
