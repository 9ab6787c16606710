// Whose authority a request carries and whose identity a restart takes:
// the real uid, gid and supplementary groups of a process, read from /proc
// while a pidfd pins the process, and set in a forked child before exec.
#pragma once

#include <stdint.h>
#include <sys/types.h>

#include <vector>

namespace kiv::manager {

struct Credentials {
  uid_t uid = 0;
  gid_t gid = 0;
  std::vector<gid_t> groups;  // supplementary groups
  // Set only by read_credentials, or from the daemon's own saved state
  // (which only it can write): credentials never read stand for no one,
  // and nothing is started under them.
  bool known = false;
  bool has_group(gid_t g) const;
};

// The real uid, real gid and supplementary groups of pid (a thread id
// works too). pidfd must name the same task: the numbers are trusted only
// when it still shows the task alive after /proc was read, since a pid is
// not reused while the task lives. False (errno ESRCH) when it ended.
bool read_credentials(pid_t pid, int pidfd, Credentials* out);

// c's supplementary groups, plus extra_group when it is not 0 and not one
// of them: what a child takes with become(), made ready before it starts.
std::vector<gid_t> groups_with(const Credentials& c, gid_t extra_group = 0);

// For a child before exec, also one that shares the daemon's memory (no
// heap; raw system calls, since glibc's wrappers would change every thread
// of the daemon): takes groups, then c's gid and uid, real, effective and
// saved alike. False when c is not known or any step failed; the child
// must then not exec.
bool become(const Credentials& c, const gid_t* groups, size_t count);

}  // namespace kiv::manager
