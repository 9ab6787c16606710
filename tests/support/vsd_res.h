// What the cgroup and memory-watch tests build: processes with a known
// resident set, chosen supplementary groups and chosen cgroups, and the
// bare member directory of a VSD.
#pragma once

#include <sys/types.h>

#include <set>
#include <string>
#include <vector>

namespace kiv::test {

// A running vsd_res_hog that holds kib KiB of touched, locked anonymous
// memory. Before exec the child takes exactly the supplementary groups
// given and joins the cgroups whose tasks files are given, so that all of
// its memory is charged there. Killed and reaped by the destructor.
class Hog {
 public:
  Hog(unsigned kib, const std::vector<gid_t>& groups, const std::vector<std::string>& tasks_files = {});
  ~Hog();
  Hog(const Hog&) = delete;
  Hog& operator=(const Hog&) = delete;

  pid_t pid() const { return pid_; }
  std::string pid_text() const { return std::to_string(pid_); }
  // Reaps the hog if it has ended: true when it was killed by sig.
  bool killed_by(int sig);
  // Whether it still runs (not ended, not a zombie).
  bool alive();

 private:
  pid_t pid_ = -1;
  int status_ = -1;
};

// Makes /tmp/vsd/N/kiv/db (and the directories above it).
void make_member_dir(int vsd_no);
// An empty member file /tmp/vsd/N/kiv/PID.
void add_member(int vsd_no, pid_t pid);
// The pids in a cgroup tasks file.
std::set<pid_t> tasks_of(const std::string& tasks_file);
// The text of a kernel file without its line end.
std::string control_value(const std::string& path);
// The pid of a child that has already ended and been reaped.
pid_t ended_pid();

}  // namespace kiv::test
