// Processes by pidfd: opening, liveness, signalling one thread, collecting
// an exit status, and starting detached programs and shell scripts. A
// pidfd names one process for its whole life, so nothing here can reach a
// process that merely reuses a pid number seen earlier.
#pragma once

#include <stdint.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "creds.h"

namespace kiv::manager {

// pidfd_open(2); thread = true names one thread (PIDFD_THREAD). -1 and errno.
int open_pidfd(pid_t pid, bool thread = false);
// True once the process (or thread) of the pidfd has ended.
bool pidfd_ended(int pidfd);
// Sends sig to the process of the pidfd, or to the very thread of a thread
// pidfd. 0, or -1 and errno.
int pidfd_signal(int pidfd, int sig, bool thread);

struct ExitStatus {
  bool known = false;
  bool signaled = false;
  int value = 0;  // exit code, or signal number
  bool core = false;
};
std::string describe(const ExitStatus& s);

// Collects the status of an exited child of this daemon through its pidfd.
ExitStatus reap_child(int pidfd);
// Start time of a process in clock ticks since boot (field 22 of
// /proc/PID/stat), 0 when unreadable; with ppid, also its parent's pid
// (field 4) from the same read, -1 when unreadable.
uint64_t start_ticks(pid_t pid, pid_t* ppid = nullptr);
// The status of an exited process that is not this daemon's child: once
// its parent has reaped it, the pidfd itself reports it (kernels from 6.15
// on); until then it is a zombie whose /proc entry, if it has the same
// start time, shows it. Unknown when neither tells.
ExitStatus foreign_exit_status(int pidfd, pid_t pid, uint64_t start_ticks);

// Splits a command line at runs of blanks and tabs (at most 63 words).
std::vector<std::string> split_command(const std::string& cmdline);
// The words as an exec argument vector, null-terminated; it points into
// words, which must outlive it.
std::vector<char*> exec_argv(const std::vector<std::string>& words);
// The restart script of a program on the host: /etc/cmdmap/BASE.sh for a
// path, /etc/cmdmap/NAME for a bare name.
std::string host_script_path(const std::string& first_word);

// Starts argv[0] (searched in PATH when it has no slash) with argv as a
// detached child: a session of its own, default signal dispositions, an
// empty signal mask, ordinary scheduling, working directory "/"; with as,
// under those credentials (a child that cannot take them does not exec).
// Returns its pid, or -1.
pid_t spawn_detached(const std::vector<std::string>& argv, const Credentials* as = nullptr);

}  // namespace kiv::manager
