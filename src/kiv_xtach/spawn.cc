// Starting a program as a fully detached child of the caller.
#include <errno.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include "base/log.h"
#include "base/spawn.h"
#include "base/words.h"
#include "kiv_utils.h"
#include "kiv_xtach.h"

namespace kiv {
namespace {

constexpr char kLogModule[] = "kiv_xtach";
constexpr size_t kCmdLen = 128;   // at most 127 characters of the command
constexpr int kMaxTokens = 14;    // later words are dropped
constexpr int kForkRetrySec = 5;
constexpr char kShell[] = "/bin/sh";
constexpr int kShellFailed = 127;  // what system() reports for a shell that can't run
constexpr char kFlushFile[] = "/sys/kernel/qn_lowmem_killer/flush_tlb";
constexpr char kFlushCmd[] = "echo 1 > /sys/kernel/qn_lowmem_killer/flush_tlb";
constexpr char kSpawnName[] = "kiv_spawn_by_user";
// argv[0] of a command with no word at all: execvp() then fails in the
// child like for any program that can't be run.
constinit char kNoProgram[] = "";

// Splits cmd in place at runs of spaces and tabs into argv (at most
// kMaxTokens words, then a null pointer). Returns the number of words.
int tokenise(char* cmd, char* (&argv)[kMaxTokens + 1]) { return split_words(cmd, argv, kMaxTokens); }

// The detached child, made by vfork_spawn: async-signal-safe calls only.
// It reports what it would have logged; the parent prints it.
struct Detached {
  char* const* argv;
  char* const* flush_argv;  // /bin/sh -c kFlushCmd
  int chdir_result = 0;     // nonzero: chdir("/") failed with this result
  int flush_errno = 0;      // the control file's access() failed with this
  int exec_errno = 0;       // execvp failed with this
};

int exec_shell(void* p) {
  char* const* argv = static_cast<char* const*>(p);
  execve(kShell, argv, environ);
  return kShellFailed;
}

// system(kFlushCmd), the way glibc's system() does it: SIGINT and SIGQUIT
// ignored and SIGCHLD blocked while the shell runs, the shell given the
// dispositions and mask from before.
void run_flush_command(char* const* flush_argv) {
  struct sigaction ign, old_int, old_quit;
  memset(&ign, 0, sizeof ign);
  ign.sa_handler = SIG_IGN;
  (void)sigaction(SIGINT, &ign, &old_int);
  (void)sigaction(SIGQUIT, &ign, &old_quit);
  sigset_t chld, old_mask;
  sigemptyset(&chld);
  sigaddset(&chld, SIGCHLD);
  (void)sigprocmask(SIG_BLOCK, &chld, &old_mask);
  const pid_t shell = vfork_spawn(exec_shell, const_cast<char**>(flush_argv), &old_mask, SpawnSignals::kAllDefault);
  if (shell > 0) {
    while (waitpid(shell, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  (void)sigaction(SIGINT, &old_int, nullptr);
  (void)sigaction(SIGQUIT, &old_quit, nullptr);
  (void)sigprocmask(SIG_SETMASK, &old_mask, nullptr);
}

int run_detached(void* p) {
  Detached* d = static_cast<Detached*>(p);
  (void)setsid();
  // A real-time caller must not hand its priority on. The calling thread
  // by its kernel id (0): pthread_self() would name the caller's.
  struct sched_param param;
  memset(&param, 0, sizeof param);
  (void)sched_setscheduler(0, SCHED_OTHER, &param);
  const int r = chdir("/");
  if (r != 0) {
    d->chdir_result = r;
    return 1;
  }
  if (access(kFlushFile, F_OK) == 0) {
    run_flush_command(d->flush_argv);
  } else {
    d->flush_errno = errno;
  }
  execvp(d->argv[0], d->argv);
  d->exec_errno = errno;
  return 1;
}

// The lines of a child that Detached reports.
void log_child(const Detached& d) {
  if (d.chdir_result != 0) {
    KIV_LOG("%s--> chdir failed, ret: %d\n", kSpawnName, d.chdir_result);
    return;
  }
  if (d.flush_errno != 0) KIV_LOG("%s find fail, error = %s.\n", kFlushFile, strerror(d.flush_errno));
  if (d.exec_errno != 0) KIV_LOG("HA_RESTART execvp fail, error = %s.\n", strerror(d.exec_errno));
}

// Starts cmd in a detached child. Returns the child's pid (also in
// *out_pid), or 0 for a NULL cmd.
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
  char* flush_argv[] = {const_cast<char*>("sh"), const_cast<char*>("-c"), const_cast<char*>(kFlushCmd), nullptr};
  for (;;) {
    // A SIGCHLD handler of the caller must not run before the pid is known.
    sigset_t chld;
    sigset_t old_mask;
    sigemptyset(&chld);
    sigaddset(&chld, SIGCHLD);
    (void)pthread_sigmask(SIG_BLOCK, &chld, &old_mask);
    Detached child;
    child.argv = argv;
    child.flush_argv = flush_argv;
    // Signal dispositions set to SIG_IGN survive exec: the child sets every
    // one back to SIG_DFL.
    const pid_t pid = vfork_spawn(run_detached, &child, &old_mask, SpawnSignals::kAllDefault);
    const int fork_err = errno;
    *out_pid = pid;
    KIV_LOG("%s--> process = %s, new pid: %d\n", kSpawnName, argv[0], pid);
    if (pid > 0) log_child(child);
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
