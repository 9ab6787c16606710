// Starting programs and scripts for exited registrants.
#include "launch.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "kiv_utils.h"
#include "kiv_vsd.h"
#include "kiv_xtach.h"
#include "procs.h"
#include "kiv_vsd/vsd_paths.h"

namespace kiv::manager {

namespace {

// A forked child that enters the VSD and executes there; restart_proc_to_vsd
// returns only on failure.
pid_t fork_into_vsd(const std::string& cmdline, int32_t vsd, int is_script) {
  char buf[256];
  snprintf(buf, sizeof buf, "%s", cmdline.c_str());
  const pid_t pid = fork();
  if (pid != 0) return pid;
  (void)setsid();
  (void)restart_proc_to_vsd(buf, vsd, is_script);
  _exit(127);
}

}  // namespace

pid_t launch_program(const std::string& cmdline, int32_t vsd) {
  const auto words = split_command(cmdline);
  if (words.empty() || (vsd != 0 && !kiv::vsd::valid(vsd))) {
    errno = EINVAL;
    return -1;
  }
  if (vsd != 0) return fork_into_vsd(cmdline, vsd, 0);
  // A bare program path is exactly what the library's starter takes; it
  // tests the whole string as a file name, so arguments need our own start
  // with the same detachment.
  if (words.size() == 1) return kiv_start_user_process(words[0].c_str());
  const pid_t pid = spawn_detached(words);
  if (pid > 0) (void)kiv_reset_lmk(pid);
  return pid;
}

pid_t launch_script(const std::string& cmdline, int32_t vsd) {
  auto words = split_command(cmdline);
  if (words.empty() || (vsd != 0 && !kiv::vsd::valid(vsd))) {
    errno = EINVAL;
    return -1;
  }
  if (vsd != 0) return fork_into_vsd(cmdline, vsd, 1);
  words[0] = host_script_path(words[0]);
  words.insert(words.begin(), "/bin/sh");
  return spawn_detached(words);
}

pid_t launch_shell(const std::string& script) { return spawn_detached({"/bin/sh", script}); }

}  // namespace kiv::manager
