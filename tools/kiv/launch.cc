// Starting programs and scripts for exited registrants.
#include "launch.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <vector>

#include "base/vsd_paths.h"
#include "kiv_utils.h"
#include "kiv_vsd.h"
#include "procs.h"

namespace kiv::manager {

namespace {

// A forked child that enters the VSD as its start scripts' processes do
// (environment, run directory, memory-killer setting, member file, network
// namespace), all of which need root, and only then takes the registrant's
// credentials and executes. The library's restart_proc_to_vsd does the
// same steps but executes as the caller, so it cannot serve here.
pid_t fork_into_vsd(const std::vector<std::string>& words, int32_t vsd, const Credentials& as) {
  std::vector<char*> args = exec_argv(words);
  const std::vector<gid_t> groups = groups_with(as, static_cast<gid_t>(kiv::vsd::supplement_id(vsd)));
  const pid_t pid = fork();
  if (pid != 0) return pid;
  (void)setsid();
  set_proc_env(vsd);
  (void)kiv_reset_lmk(getpid());
  char member[128];
  snprintf(member, sizeof member, KIV_VSD_MEMBER_FILE, vsd, getpid());
  const int fd = open(member, O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0 || close(fd) != 0 || reassociate_netns_to_vsd(vsd) != 0) _exit(127);
  if (!become(as, groups.data(), groups.size())) _exit(127);
  execvp(args[0], args.data());
  _exit(127);
}

// Credentials never read are zero, root's: nothing starts under them.
bool startable(const std::vector<std::string>& words, int32_t vsd, const Credentials& as) {
  if (as.known && !words.empty() && (vsd == 0 || kiv::vsd::valid(vsd))) return true;
  errno = as.known ? EINVAL : EPERM;
  return false;
}

}  // namespace

pid_t launch_program(const std::string& cmdline, int32_t vsd, const Credentials& as) {
  const auto words = split_command(cmdline);
  if (!startable(words, vsd, as)) return -1;
  if (vsd != 0) {
    // A VSD runs only programs installed in /sbin.
    const size_t slash = words[0].rfind('/');
    if (check_sbin(words[0].c_str() + (slash == std::string::npos ? 0 : slash + 1)) != 1) {
      errno = ENOENT;
      return -1;
    }
    return fork_into_vsd(words, vsd, as);
  }
  const pid_t pid = spawn_detached(words, &as);
  if (pid > 0) (void)kiv_reset_lmk(pid);
  return pid;
}

pid_t launch_script(const std::string& cmdline, int32_t vsd, const Credentials& as) {
  auto words = split_command(cmdline);
  if (!startable(words, vsd, as)) return -1;
  words[0] = host_script_path(words[0]);
  words.insert(words.begin(), "/bin/sh");
  if (vsd != 0) return fork_into_vsd(words, vsd, as);
  return spawn_detached(words, &as);
}

pid_t launch_shell(const std::string& script, const Credentials& as) {
  if (!startable({script}, 0, as)) return -1;
  return spawn_detached({"/bin/sh", script}, &as);
}

}  // namespace kiv::manager
