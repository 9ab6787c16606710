// vsdctl launch, set and exec: putting processes into a VSD, its cgroup
// limits, and commands in its network namespace.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include "base/restart_script.h"
#include "base/vsd_paths.h"
#include "kiv_vsd.h"
#include "vsdctl.h"

namespace vsdctl {
namespace {

constexpr size_t kMaxWords = 14;  // what the launch takes of a command line
constexpr unsigned kMaxWeight = 2560;  // cpu.shares tops out at 262144

// A VSD that commands can enter: its directory and its namespace are there.
int require_running(const char* cmd, int n) {
  if (!vsd_exists(n)) return fail(cmd, kFailed, "vsd %d does not exist", n);
  if (!netns_pinned(n)) return fail(cmd, kFailed, "vsd %d has no network namespace (is it stopped?)", n);
  return kOk;
}

// Exit status of a command that ended with wait status ws, in the shell's
// manner.
int shell_status(int ws) {
  if (WIFEXITED(ws)) return WEXITSTATUS(ws);
  if (WIFSIGNALED(ws)) return 128 + WTERMSIG(ws);
  return kFailed;
}

// The script that the launch's script mode runs for word: the name after
// the word's last slash plus ".sh", or the bare word.
std::string script_for(const std::string& word) {
  std::string path(static_cast<size_t>(kiv::restart_script_path(word.c_str(), nullptr, 0)), '\0');
  (void)kiv::restart_script_path(word.c_str(), path.data(), path.size() + 1);
  return path;
}

void place_if_limited(int n) {
  // A VSD that has cgroups keeps every member in them.
  if (is_dir(vsd_path(KIV_VSD_MEM_CGROUP, n)) || is_dir(vsd_path(KIV_VSD_CPU_CGROUP, n)))
    (void)set_cgroups_all(n);
}

// Parses SIZE: KiB, or a number with K, M or G. false when malformed or
// out of range.
bool parse_size(std::string_view text, unsigned long long* kib) {
  size_t digits = 0;
  while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
  if (digits == 0 || digits > 19) return false;
  unsigned long long value = strtoull(std::string(text.substr(0, digits)).c_str(), nullptr, 10);
  std::string_view unit = text.substr(digits);
  unsigned long long scale = 1;
  if (unit == "" || unit == "K" || unit == "k" || unit == "KiB") {
    scale = 1;
  } else if (unit == "M" || unit == "m" || unit == "MiB") {
    scale = 1024;
  } else if (unit == "G" || unit == "g" || unit == "GiB") {
    scale = 1024 * 1024;
  } else {
    return false;
  }
  // The kernel counts bytes in 64 bits: value KiB must fit.
  if (value == 0 || value > (ULLONG_MAX / 1024) / scale) return false;
  *kib = value * scale;
  return true;
}

bool parse_weight(std::string_view text, unsigned* weight) {
  unsigned w = 0;
  if (!parse_digits(text, 4, &w) || w < 1 || w > kMaxWeight) return false;
  *weight = w;
  return true;
}

// The VSD number at args[1], an optional "--", then a command: *first is
// the index of its first word.
int vsd_and_command(const char* cmd, const Args& args, const char* missing, int* vsd_no, size_t* first) {
  const int status = vsd_arg(cmd, args, 1, vsd_no);
  if (status != kOk) return status;
  size_t i = 2;
  if (i < args.size() && args[i] == "--") ++i;
  if (i >= args.size()) return fail(cmd, kUsage, "%s", missing);
  *first = i;
  return kOk;
}

}  // namespace

int cmd_launch(const Args& args, const Flags& f) {
  const bool script = f.script;
  const bool wait = f.wait;
  size_t i = 0;
  int n = 0;
  int status = vsd_and_command("launch", args, "missing the command to launch", &n, &i);
  if (status != kOk) return status;
  if (args.size() - i > kMaxWords) return fail("launch", kUsage, "more than %zu words", kMaxWords);

  // The library splits the command line at blanks and tabs.
  std::string cmdline;
  for (size_t k = i; k < args.size(); ++k) {
    if (args[k].empty() || args[k].find_first_of(" \t") != std::string_view::npos) {
      const std::string word(args[k]);
      return fail("launch", kUsage, "word '%s' is empty or holds a blank", word.c_str());
    }
    std::string word(args[k]);
    // A bare program name runs from /sbin, which vouches for it, rather
    // than from wherever PATH finds it first.
    if (k == i && !script && word.find('/') == std::string::npos) word = "/sbin/" + word;
    if (k > i) cmdline += ' ';
    cmdline += word;
  }
  const std::string first(args[i]);
  if (script) {
    const std::string path = script_for(first);
    if (!path_exists(path)) return fail("launch", kFailed, "no script %s", path.c_str());
  } else {
    const size_t slash = first.rfind('/');
    const std::string base = slash == std::string::npos ? first : first.substr(slash + 1);
    const int found = check_sbin(base.c_str());
    if (found < 0) return fail("launch", kFailed, "cannot read /sbin: %s", strerror(-found));
    if (found == 0 || base.empty()) return fail("launch", kFailed, "'%s' is not a program of /sbin", base.c_str());
  }
  status = require_running("launch", n);
  if (status != kOk) return status;

  // The child reports a launch that failed before exec through this pipe;
  // a successful exec closes it (close-on-exec) without a word.
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) return fail("launch", kFailed, "pipe: %s", strerror(errno));
  fflush(out());
  fflush(stdout);
  const pid_t pid = fork();
  if (pid < 0) {
    const int err = errno;
    close(report[0]);
    close(report[1]);
    return fail("launch", kFailed, "fork: %s", strerror(err));
  }
  if (pid == 0) {
    close(report[0]);
    if (wait) {
      restore_output();
    } else {
      // Detached: a session of its own, away from the terminal.
      (void)setsid();
      const int null = open("/dev/null", O_RDWR);
      if (null >= 0) {
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        if (null > 2) close(null);
      }
    }
    signal(SIGPIPE, SIG_DFL);
    const int r = restart_proc_to_vsd(cmdline.data(), n, script ? 1 : 0);
    const int err = r < -1 ? -r : errno;
    (void)!write(report[1], &err, sizeof err);
    _exit(127);
  }
  close(report[1]);
  int err = 0;
  ssize_t got;
  do {
    got = read(report[0], &err, sizeof err);
  } while (got < 0 && errno == EINTR);
  close(report[0]);
  if (got == static_cast<ssize_t>(sizeof err)) {
    (void)waitpid(pid, nullptr, 0);
    return fail("launch", kFailed, "cannot start '%s' in vsd %d: %s", first.c_str(), n, strerror(err));
  }
  place_if_limited(n);
  if (!wait) {
    fprintf(out(), "%d\n", static_cast<int>(pid));
    return kOk;
  }
  fflush(out());
  int ws = 0;
  while (waitpid(pid, &ws, 0) < 0) {
    if (errno != EINTR) return fail("launch", kFailed, "wait: %s", strerror(errno));
  }
  return shell_status(ws);
}

int cmd_set(const Args& args, const Flags& f) {
  int n = 0;
  int status = vsd_arg("set", args, 1, &n);
  if (status != kOk) return status;
  if (args.size() > 2) {
    const std::string extra(args[2]);
    return fail("set", kUsage, "unexpected argument '%s'", extra.c_str());
  }
  const bool have_mem = f.memory != nullptr;
  const bool have_cpu = f.cpu != nullptr;
  unsigned long long kib = 0;
  unsigned weight = 0;
  if (have_mem && !parse_size(f.memory, &kib)) return fail("set", kUsage, "invalid memory size '%s'", f.memory);
  if (have_cpu && !parse_weight(f.cpu, &weight))
    return fail("set", kUsage, "invalid cpu weight '%s' (1 to %u)", f.cpu, kMaxWeight);
  if (!vsd_exists(n)) return fail("set", kFailed, "vsd %d does not exist", n);

  (void)set_cgroups_all(n);
  // The placement reports nothing; the cgroups' existence is what shows.
  for (const char* tmpl : {KIV_VSD_MEM_CGROUP, KIV_VSD_CPU_CGROUP}) {
    const std::string dir = vsd_path(tmpl, n);
    if (!is_dir(dir)) return fail("set", kFailed, "cannot create the cgroup %s", dir.c_str());
  }
  if (have_mem) {
    const int r = set_mem_group(n, kib);
    if (r != 0)
      return fail("set", kFailed, "cannot set the memory limit of vsd %d to %lluK: %s", n, kib, strerror(-r));
  }
  if (have_cpu) {
    const int r = set_cpu_group(n, weight);
    if (r != 0) return fail("set", kFailed, "cannot set the cpu weight of vsd %d to %u: %s", n, weight, strerror(-r));
  }
  return kOk;
}

int cmd_exec(const Args& args) {
  size_t i = 0;
  int n = 0;
  int status = vsd_and_command("exec", args, "missing the command to run", &n, &i);
  if (status != kOk) return status;
  status = require_running("exec", n);
  if (status != kOk) return status;

  if (reassociate_netns_to_vsd(n) != 0)
    return fail("exec", kFailed, "cannot enter the network namespace of vsd %d: %s", n, strerror(errno));
  std::vector<std::string> words(args.begin() + static_cast<long>(i), args.end());
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  restore_output();
  execvp(argv[0], argv.data());
  const int err = errno;
  return fail("exec", err == ENOENT ? 127 : 126, "cannot run '%s': %s", argv[0], strerror(err));
}

}  // namespace vsdctl
