// What the VSD tests build around the library inside the sandbox: probe
// programs in /sbin, a start script, processes with chosen groups, cgroups
// and resident memory, and bare member directories.
#pragma once

#include <errno.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "kiv_dbg.h"
#include "kiv_vsd.h"
#include "support/fixture.h"

namespace kiv::test {

using ::testing::HasSubstr;
using ::testing::MatchesRegex;

// No process of an earlier test, VSD cgroup, probe in /sbin or probe report
// is left; every process of the sandbox but pid 1 and the test's own is
// ended afterwards. The umask is 022 meanwhile.
class VsdTest : public SandboxTest {
 protected:
  void SetUp() override;
  void TearDown() override;

 private:
  mode_t umask_ = 022;
};

// A vsd_res_hog holding kib KiB of locked memory, with exactly the groups
// given.
class Hog : public TestProgram {
 public:
  Hog(unsigned kib, const std::vector<gid_t>& groups);
  bool killed_by(int sig);  // within a second
};

// /sbin/NAME as a link to the test program's mode NAME.
void install_probe(const std::string& name);
// The start script of every VSD: it appends its argument to
// /tmp/vsd_probe/runs.N, runs vsd_probe_start, leaves vsd_probe_stay
// running, and vsd_probe_ignterm too when /tmp/vsd_probe/ignterm.N exists.
void install_start_script();
// The report of probe NAME run in VSD TAG, waited for up to 5 s.
std::map<std::string, std::string> probe_report(const std::string& name, const std::string& tag);
// What a process of VSD n with namespace inode ns and arguments argv (joined
// by |) is given, as a probe reports it without its pid.
std::map<std::string, std::string> vsd_view(const std::string& n, const std::string& ns, const std::string& argv);
std::map<std::string, std::string> without_pid(std::map<std::string, std::string> report);

void make_dirs(const std::vector<std::string>& dirs, mode_t mode = 0755);
// /tmp/vsd/N/kiv/db and an empty member file for each pid.
void make_member_dir(int vsd_no, const std::vector<pid_t>& members = {});
std::set<pid_t> tasks_of(const std::string& tasks_file);
// What fn prints with the library's log on, source lines masked.
std::string logged(const std::function<void()>& fn);

}  // namespace kiv::test
