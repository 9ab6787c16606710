// Starting what a registration asks for when its process has ended: the
// program again (on the host or inside its VSD), its restart script, or a
// shell script. Each start is a child of the daemon, so its pidfd is safe
// to open and its exit status can be collected. Every start runs under the
// registrant's credentials, never the daemon's own.
#pragma once

#include <stdint.h>
#include <sys/types.h>

#include <string>

#include "creds.h"

namespace kiv::manager {

// The program of cmdline (executable path, then arguments). On the host
// (vsd 0) a detached child; in VSD 1..15 a child that enters the VSD and
// becomes the program, with the VSD's group added to as's groups. The
// child's pid, or -1 and errno.
pid_t launch_program(const std::string& cmdline, int32_t vsd, const Credentials& as);
// The restart script of the program of cmdline, with its arguments.
pid_t launch_script(const std::string& cmdline, int32_t vsd, const Credentials& as);
// "/bin/sh script", detached.
pid_t launch_shell(const std::string& script, const Credentials& as);

}  // namespace kiv::manager
