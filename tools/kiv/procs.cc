// pidfd helpers, exit statuses and detached starts.
#include "procs.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "base/proc.h"
#include "base/restart_script.h"
#include "base/spawn.h"
#include "base/unique_fd.h"
#include "base/words.h"

#ifndef PIDFD_THREAD
#define PIDFD_THREAD O_EXCL
#endif
#ifndef PIDFD_SIGNAL_THREAD
#define PIDFD_SIGNAL_THREAD 1
#endif
#ifndef P_PIDFD
#define P_PIDFD 3
#endif

namespace kiv::manager {

namespace {

// The first version of the pidfd information record (linux/pidfd.h of 6.15,
// which the build's headers may predate); the kernel accepts any version.
struct PidfdInfo {
  uint64_t mask;
  uint64_t cgroupid;
  uint32_t pid, tgid, ppid, ruid, rgid, euid, egid, suid, sgid, fsuid, fsgid;
  int32_t exit_code;
};
static_assert(sizeof(PidfdInfo) == 64);
constexpr uint64_t kPidfdInfoExit = 1u << 3;
constexpr unsigned long kPidfdGetInfo = _IOWR(0xFF, 11, PidfdInfo);

ExitStatus from_wait_status(int code) {
  ExitStatus s;
  s.known = true;
  if (WIFSIGNALED(code)) {
    s.signaled = true;
    s.value = WTERMSIG(code);
    s.core = WCOREDUMP(code);
  } else {
    s.value = WEXITSTATUS(code);
  }
  return s;
}

bool pidfd_exit_code(int pidfd, int* code) {
  PidfdInfo info = {};
  info.mask = kPidfdInfoExit;
  if (ioctl(pidfd, kPidfdGetInfo, &info) != 0 || (info.mask & kPidfdInfoExit) == 0) return false;
  *code = info.exit_code;
  return true;
}

}  // namespace

int open_pidfd(pid_t pid, bool thread) {
  if (pid <= 0) {
    errno = ESRCH;
    return -1;
  }
  return static_cast<int>(syscall(SYS_pidfd_open, pid, thread ? PIDFD_THREAD : 0));
}

bool pidfd_ended(int pidfd) {
  struct pollfd p = {pidfd, POLLIN, 0};
  int r;
  do {
    r = poll(&p, 1, 0);
  } while (r < 0 && errno == EINTR);
  return r > 0 && (p.revents & (POLLIN | POLLHUP)) != 0;
}

int pidfd_signal(int pidfd, int sig, bool thread) {
  return static_cast<int>(syscall(SYS_pidfd_send_signal, pidfd, sig, nullptr, thread ? PIDFD_SIGNAL_THREAD : 0));
}

std::string describe(const ExitStatus& s) {
  char buf[96];
  if (!s.known) return "status unknown";
  if (s.signaled) {
    snprintf(buf, sizeof buf, "killed by signal %d (%s)%s", s.value, strsignal(s.value),
             s.core ? ", core dumped" : "");
  } else {
    snprintf(buf, sizeof buf, "exit status %d", s.value);
  }
  return buf;
}

ExitStatus reap_child(int pidfd) {
  ExitStatus s;
  siginfo_t si = {};
  int r;
  do {
    r = waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(pidfd), &si, WEXITED | WNOHANG);
  } while (r < 0 && errno == EINTR);
  if (r != 0 || si.si_pid == 0) return s;
  s.known = true;
  s.value = si.si_status;
  s.signaled = si.si_code == CLD_KILLED || si.si_code == CLD_DUMPED;
  s.core = si.si_code == CLD_DUMPED;
  return s;
}

namespace {

// Fields of /proc/PID/stat after the command name, which may itself hold
// blanks and parentheses: the text after the last ')'.
bool stat_fields(pid_t pid, std::vector<std::string>* fields) {
  char buf[kiv::kProcStatLen];
  if (kiv::read_proc_file(pid, "stat", buf, sizeof buf) < 0) return false;
  const char* p = kiv::stat_fields_of(buf);
  if (p == nullptr) return false;
  fields->clear();
  for (; *p != '\0';) {
    while (*p == ' ' || *p == '\n') ++p;
    const char* start = p;
    while (*p != '\0' && *p != ' ' && *p != '\n') ++p;
    if (p > start) fields->emplace_back(start, p);
  }
  return true;
}

}  // namespace

uint64_t start_ticks(pid_t pid, pid_t* ppid) {
  if (ppid != nullptr) *ppid = -1;
  std::vector<std::string> f;
  // Field 22 overall; the list starts at field 3 (the state).
  if (!stat_fields(pid, &f) || f.size() < 20) return 0;
  if (ppid != nullptr) *ppid = static_cast<pid_t>(atoi(f[1].c_str()));
  return strtoull(f[19].c_str(), nullptr, 10);
}

ExitStatus foreign_exit_status(int pidfd, pid_t pid, uint64_t ticks) {
  int code = 0;
  if (pidfd_exit_code(pidfd, &code)) return from_wait_status(code);
  std::vector<std::string> f;
  // Field 52 (exit_code, as waitpid encodes it) is index 49.
  if (ticks != 0 && stat_fields(pid, &f) && f.size() >= 50 && f[0] == "Z" &&
      strtoull(f[19].c_str(), nullptr, 10) == ticks) {
    return from_wait_status(atoi(f[49].c_str()));
  }
  // Reaped between the two looks: the pidfd knows by now.
  if (pidfd_exit_code(pidfd, &code)) return from_wait_status(code);
  return ExitStatus{};
}

std::vector<std::string> split_command(const std::string& cmdline) {
  constexpr int kMaxWords = 63;
  std::string text = cmdline;
  char* word[kMaxWords + 1];
  const int n = kiv::split_words(text.data(), word, kMaxWords);
  return std::vector<std::string>(word, word + n);
}

std::string host_script_path(const std::string& first_word) {
  std::string path(static_cast<size_t>(kiv::restart_script_path(first_word.c_str(), nullptr, 0)), '\0');
  (void)kiv::restart_script_path(first_word.c_str(), path.data(), path.size() + 1);
  return path;
}

std::vector<char*> exec_argv(const std::vector<std::string>& words) {
  std::vector<char*> args;
  for (const auto& w : words) args.push_back(const_cast<char*>(w.c_str()));
  args.push_back(nullptr);
  return args;
}

namespace {

// What the child of spawn_detached needs, all made ready by the parent: the
// child shares the parent's memory and may not allocate.
struct Detached {
  char* const* argv;
  const Credentials* as;  // null: keep the daemon's
};

// The child, in the parent's memory until it executes: async-signal-safe
// calls only.
int detached_child(void* arg) {
  const Detached* d = static_cast<const Detached*>(arg);
  (void)setsid();
  struct sched_param sp = {};
  (void)sched_setscheduler(0, SCHED_OTHER, &sp);
  if (chdir("/") != 0) return 127;
  if (d->as != nullptr && !become(*d->as, d->as->groups.data(), d->as->groups.size())) return 127;
  execvp(d->argv[0], d->argv);
  return 127;
}

}  // namespace

pid_t spawn_detached(const std::vector<std::string>& argv, const Credentials* as) {
  if (argv.empty()) {
    errno = EINVAL;
    return -1;
  }
  if (as != nullptr && !as->known) {
    errno = EPERM;
    return -1;
  }
  std::vector<char*> args = exec_argv(argv);
  Detached d = {args.data(), as};
  sigset_t none;
  sigemptyset(&none);
  // The child borrows this process's memory until it executes, so starting
  // a program costs no copy of the daemon's page tables.
  // Every disposition back to SIG_DFL: an ignored one would stay ignored in
  // the program.
  return kiv::vfork_spawn(detached_child, &d, &none, kiv::SpawnSignals::kAllDefault);
}

}  // namespace kiv::manager
