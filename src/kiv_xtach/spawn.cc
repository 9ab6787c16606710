// Starting a program as a fully detached child of the caller.
#include <errno.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdio_ext.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "base/log.h"
#include "base/words.h"
#include "kiv_utils.h"
#include "kiv_xtach.h"

namespace kiv {
namespace {

constexpr char kLogModule[] = "kiv_xtach";
constexpr size_t kCmdLen = 128;   // at most 127 characters of the command
constexpr int kMaxTokens = 14;    // later words are dropped
constexpr int kForkRetrySec = 5;
constexpr int kMaxSignal = 64;
constexpr char kFlushFile[] = "/sys/kernel/qn_lowmem_killer/flush_tlb";
constexpr char kFlushCmd[] = "echo 1 > /sys/kernel/qn_lowmem_killer/flush_tlb";
constexpr char kSpawnName[] = "kiv_spawn_by_user";
// argv[0] of a command with no word at all: execvp() then fails in the
// child like for any program that can't be run.
constinit char kNoProgram[] = "";

// Splits cmd in place at runs of spaces and tabs into argv (at most
// kMaxTokens words, then a null pointer). Returns the number of words.
int tokenise(char* cmd, char* (&argv)[kMaxTokens + 1]) { return split_words(cmd, argv, kMaxTokens); }

// Ends a child that failed before exec. _exit, not exit: the atexit
// handlers and stdio streams belong to the caller's program, whose copy in
// the parent still runs them; only our own log lines are flushed.
[[noreturn]] void child_fail() {
  fflush(stdout);
  _exit(1);
}

[[noreturn]] void run_child(char* const* argv, const sigset_t* old_mask) {
  // Whatever the caller had buffered on stdout is the parent's to write;
  // without this the child would print it a second time.
  __fpurge(stdout);
  (void)pthread_sigmask(SIG_SETMASK, old_mask, nullptr);
  (void)setsid();
  // A real-time caller must not hand its priority on.
  struct sched_param param;
  memset(&param, 0, sizeof param);
  (void)pthread_setschedparam(pthread_self(), SCHED_OTHER, &param);
  // Dispositions set to SIG_IGN survive exec; reset every one. SIGKILL,
  // SIGSTOP and the numbers glibc keeps for itself refuse, harmlessly.
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = SIG_DFL;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  for (int sig = 1; sig <= kMaxSignal; ++sig) (void)sigaction(sig, &sa, nullptr);
  const int r = chdir("/");
  if (r != 0) {
    KIV_LOG("%s--> chdir failed, ret: %d\n", kSpawnName, r);
    child_fail();
  }
  if (access(kFlushFile, F_OK) == 0) {
    const int status = system(kFlushCmd);
    (void)status;
  } else {
    KIV_LOG("%s find fail, error = %s.\n", kFlushFile, strerror(errno));
  }
  fflush(stdout);  // exec discards what is still buffered
  execvp(argv[0], argv);
  KIV_LOG("HA_RESTART execvp fail, error = %s.\n", strerror(errno));
  child_fail();
}

// Forks and executes cmd in a detached child. Returns the child's pid (also
// in *out_pid), or 0 for a NULL cmd.
pid_t kiv_spawn_by_user(const char* cmd, pid_t* out_pid) {
  if (cmd == nullptr) return 0;
  *out_pid = -1;
  char buf[kCmdLen] = {};
  strncpy(buf, cmd, sizeof buf - 1);
  char* argv[kMaxTokens + 1];
  tokenise(buf, argv);
  if (argv[0] == nullptr) {
    argv[0] = kNoProgram;
    argv[1] = nullptr;
  }
  for (;;) {
    // A SIGCHLD handler of the caller must not run before the pid is known.
    sigset_t chld;
    sigset_t old_mask;
    sigemptyset(&chld);
    sigaddset(&chld, SIGCHLD);
    (void)pthread_sigmask(SIG_BLOCK, &chld, &old_mask);
    const pid_t pid = fork();
    if (pid == 0) run_child(argv, &old_mask);
    const int fork_err = errno;
    *out_pid = pid;
    KIV_LOG("%s--> process = %s, new pid: %d\n", kSpawnName, argv[0], pid);
    (void)pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
    if (pid > 0) return pid;
    KIV_LOG("%s--> fork fail, err: %s(%d)\n", kSpawnName, strerror(fork_err), fork_err);
    (void)safe_sleep(kForkRetrySec);
  }
}

}  // namespace
}  // namespace kiv

extern "C" pid_t kiv_start_user_process(const char* cmd) {
  using kiv::kLogModule;
  if (cmd == nullptr) {
    KIV_LOG("proc_path is null\n");
    return -1;
  }
  if (access(cmd, F_OK) != 0) {
    KIV_LOG("%s not exist: %s\n", cmd, strerror(errno));
    return -1;
  }
  pid_t pid = -1;
  const pid_t r = kiv::kiv_spawn_by_user(cmd, &pid);
  if (r < 1) return r;
  (void)kiv_reset_lmk(r);
  return r;
}
