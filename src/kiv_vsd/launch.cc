// Putting processes into a running VSD: the calling process itself
// (restart as a program or a script) or a detached /sbin/ program.
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "base/log.h"
#include "base/restart_script.h"
#include "base/spawn.h"
#include "base/unique_fd.h"
#include "base/vsd_paths.h"
#include "base/words.h"
#include "kiv_utils.h"
#include "kiv_vsd.h"
#include "kiv_vsd/layout.h"
#include "kiv_vsd/vsd_internal.h"

namespace kiv {
namespace {

constexpr char kLogModule[] = "kiv_vsd";
constexpr char kRestartFn[] = "restart_proc_to_vsd";
constexpr char kCreateFn[] = "create_proc_to_vsd";
constexpr size_t kPathLen = 256;
constexpr size_t kScriptLen = 128;
constexpr size_t kMemberLen = 128;
constexpr int kArgSlots = 16;  // slot 0 for the shell, 14 words, a null
constexpr int kMaxWords = 14;
constexpr char kProcLogMarker[] = "/data/.procdlog";
constexpr char kShell[] = "/bin/sh";

// restart_proc_to_vsd speaks only while the process log marker exists,
// whatever the debug levels say.
#define KIV_PROCD_LOG(fmt, ...)                                        \
  do {                                                                 \
    if (access(::kiv::kProcLogMarker, F_OK) == 0) {                    \
      KIV_PRINT(fmt __VA_OPT__(, ) __VA_ARGS__);                       \
    }                                                                  \
  } while (0)

// Splits cmdline in place into argv[1..14]; argv[words + 1] is null.
// Returns the number of words.
int split_argv(char* cmdline, char* (&argv)[kArgSlots]) {
  static_assert(kArgSlots >= kMaxWords + 2);
  return split_words(cmdline, argv + 1, kMaxWords);
}

// The first word from its last slash on (the slash included), or the
// whole word.
const char* last_part(const char* word) {
  const char* slash = strrchr(word, '/');
  return slash != nullptr ? slash : word;
}

// The program create_proc_to_vsd starts, and what its process reports.
struct Program {
  char path[kPathLen] = {};  // "/sbin/NAME"
  int ns_fd = -1;            // the VSD's namespace; -1 when it could not be opened
  int setns_errno = 0;       // set by the process when setns failed
};

// The program's process, made by vfork_spawn: only async-signal-safe calls.
int enter_and_exec(void* p) {
  Program* prog = static_cast<Program*>(p);
  if (prog->ns_fd < 0) return 1;
  if (setns(prog->ns_fd, CLONE_NEWNET) != 0) {
    prog->setns_errno = errno;
    return 1;
  }
  // The namespace descriptor is close-on-exec. execvp, not execv: a path
  // with a slash is not searched, but a file that is not a binary is still
  // handed to the shell.
  char* const argv[] = {prog->path, nullptr};
  execvp(prog->path, argv);
  return 0;
}

int make_member_file(char* path, size_t len, int vsd_no, pid_t pid) {
  snprintf(path, len, KIV_VSD_MEMBER_FILE, vsd_no, pid);
  return touch_file(path);
}

}  // namespace
}  // namespace kiv

using kiv::kLogModule;

extern "C" void set_proc_env(int vsd_no) {
  const int envs = kiv::fs_set_vsd_envs(vsd_no);
  if (envs < 0) {
    errno = -envs;  // what the caller of the launch sees
    KIV_LOG("%s: fs set vsd envs fail\n", "set_proc_env");
    return;
  }
  const bool have_data2 = kiv::vsd::have_data2();
  for (const kiv::vsd::LayoutRow& v : kiv::vsd::kLayout) {
    if (v.env == nullptr || (v.data2 && !have_data2)) continue;
    char value[kiv::kPathLen] = {};
    snprintf(value, sizeof value, v.tmpl, vsd_no);
    (void)setenv(v.env, value, 1);
  }
  char run_dir[kiv::kPathLen] = {};
  snprintf(run_dir, sizeof run_dir, KIV_VSD_RUN_DIR, vsd_no);
  if (chdir(run_dir) != 0) return;
  const gid_t group = static_cast<gid_t>(kiv::vsd::supplement_id(vsd_no));
  if (setgroups(1, &group) == 0) KIV_LOG("setgroups success\n");
}

extern "C" int restart_proc_to_vsd(char* cmdline, int vsd_no, int is_script) {
  if (cmdline == nullptr || !kiv::vsd::valid(vsd_no)) {
    KIV_PRINT("Bad parameter vsd_no:%d\n", vsd_no);
    return -1;
  }
  char* argv[kiv::kArgSlots] = {};
  if (kiv::split_argv(cmdline, argv) == 0) {
    KIV_PROCD_LOG("%s: no command to run\n", kiv::kRestartFn);
    return -1;
  }
  const char* first = argv[1];
  char script[kiv::kScriptLen] = {};
  if (is_script == 0) {
    const char* part = kiv::last_part(first);
    const char* base = part[0] == '/' ? part + 1 : part;
    if (check_sbin(base) != 1) {
      KIV_PROCD_LOG("%s:/sbin/%s is not exist.\n", kiv::kRestartFn, part);
      return -1;
    }
  } else {
    (void)kiv::restart_script_path(first, script, sizeof script);
  }

  set_proc_env(vsd_no);
  (void)kiv_reset_lmk(getpid());
  char member[kiv::kMemberLen] = {};
  const int r = kiv::make_member_file(member, sizeof member, vsd_no, getpid());
  if (r != 0) return r;
  if (reassociate_netns_to_vsd(vsd_no) != 0) return -1;

  kiv::flush_stdout();
  if (is_script == 0) {
    execvp(first, &argv[1]);
    KIV_PROCD_LOG("HA_RESTART execvp fail, error = %s.\n", strerror(errno));
    return -1;
  }
  argv[0] = const_cast<char*>(kiv::kShell);
  argv[1] = script;
  execvp(kiv::kShell, argv);
  KIV_PROCD_LOG("HA_SCRIPT_RESTART execvp fail, error = %s.\n", strerror(errno));
  return -1;
}

extern "C" int create_proc_to_vsd(const char* prog_name, int vsd_no) {
  if (prog_name == nullptr || !kiv::vsd::valid(vsd_no)) {
    KIV_LOG("Bad parameter vsd_no:%d\n", vsd_no);
    return -1;
  }
  char root[kiv::kPathLen] = {};
  snprintf(root, sizeof root, KIV_VSD_ROOT, vsd_no);
  if (!kiv::unique_fd(open(root, O_RDONLY | O_DIRECTORY | O_CLOEXEC)).ok()) {
    KIV_PRINT("vsd %d is not exist\n", vsd_no);
    exit(1);
  }

  kiv::preload_fs_service();
  kiv::flush_stdout();
  // A full fork: the child calls into the file-system service, changes its
  // environment and logs, none of which a child sharing the caller's
  // memory may do.
  const pid_t child = fork();
  if (child > 0) {
    KIV_LOG("%s: parent proc: %s\n", kiv::kCreateFn, strerror(errno));
    return 0;
  }
  if (child < 0) return 0;

  // The child: it and the program end here, never in the caller's code,
  // and with _exit, so the caller's atexit handlers and stdio buffers stay
  // the caller's.
  set_proc_env(vsd_no);
  (void)kiv_reset_lmk(getpid());
  if (check_sbin(prog_name) != 1) {
    KIV_LOG("%s: /sbin/%s is not exist.\n", kiv::kCreateFn, prog_name);
    kiv::flush_stdout();
    _exit(0);
  }
  kiv::Program program;
  snprintf(program.path, sizeof program.path, "/sbin/%s", prog_name);
  kiv::unique_fd ns = kiv::open_vsd_netns(vsd_no);
  program.ns_fd = ns.get();
  // The program's process borrows this one's memory until its exec: it
  // does not copy the caller's pages a second time.
  const pid_t pid = kiv::vfork_spawn(kiv::enter_and_exec, &program);
  if (program.setns_errno != 0) kiv::log_setns_fail(program.setns_errno);
  if (pid > 0) {
    char member[kiv::kPathLen] = {};
    (void)kiv::make_member_file(member, sizeof member, vsd_no, pid);
  }
  kiv::flush_stdout();
  _exit(0);
}
