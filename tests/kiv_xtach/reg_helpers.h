// What the registration, watchdog and RPC tests share: chosen pids, the
// command line the library reads for a child of this test, the payloads the
// Manager must receive, and the fast clock of time_seam.cc.
#pragma once

#include <gtest/gtest.h>
#include <limits.h>
#include <sys/syscall.h>

#include "frame.h"
#include "support/files.h"

namespace kiv::test {

// The next process or thread created in the sandbox's pid namespace gets
// pid (provided it is free).
inline void next_pid_is(pid_t pid) {
  FILE* f = fopen("/proc/sys/kernel/ns_last_pid", "we");
  ASSERT_NE(nullptr, f);
  fprintf(f, "%d", pid - 1);
  ASSERT_EQ(0, fclose(f));
}

inline int own_tid() { return static_cast<int>(syscall(SYS_gettid)); }

// The command line the library records for a forked child of this test: the
// executable's real path, then the arguments after single spaces.
inline std::string child_cmdline() {
  char exe[PATH_MAX] = {};
  std::string text = readlink("/proc/self/exe", exe, sizeof exe - 1) > 0 ? exe : "", raw = read_file("/proc/self/cmdline");
  for (size_t pos = raw.find('\0'); pos != std::string::npos && pos + 1 < raw.size(); pos = raw.find('\0', pos + 1))
    text += " " + std::string(raw.c_str() + pos + 1);
  return text;
}

// The payloads, built by the Manager's encoders.
inline std::vector<uint8_t> exit_rec(int pid, int vsd, const std::string& cmd, const std::string& name, uint32_t time = 0) {
  return manager::make_exit_action(pid, vsd, cmd, time, name);
}
inline std::vector<uint8_t> thread_rec(int pid, int p1, int p3) { return manager::make_thread_notify(pid, pid, p1, p3); }

// Makes every connect to the Manager fail at once (ENOTDIR): the socket's
// directory is a plain file. Undone by removing the file.
inline void block_manager_socket() { remove_tree("/tmp/kiv"), write_file("/tmp/kiv"); }

// While the fast clock runs (children inherit it), the library's sleep() and
// select() (safe_sleep) return at once and its poll() waits at most 50 ms
// (enough for a peer of the test); pauses() tells what they would have
// waited, runs counted: "poll1000x5 sleep1000" (ms; a poll that ran out).
void fast_clock(bool on);  // on or off: the notes start again
std::string pauses();

}  // namespace kiv::test
