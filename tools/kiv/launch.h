// Starting what a registration asks for when its process has ended: the
// program again (on the host or inside its VSD), its restart script, or a
// shell script. Each start is a child of the daemon, so its pidfd is safe
// to open and its exit status can be collected.
#pragma once

#include <stdint.h>
#include <sys/types.h>

#include <string>

namespace kiv::manager {

// The program of cmdline (executable path, then arguments). On the host
// (vsd 0) a detached child; in VSD 1..15 a child that enters the VSD and
// becomes the program. The child's pid, or -1 and errno.
pid_t launch_program(const std::string& cmdline, int32_t vsd);
// The restart script of the program of cmdline, with its arguments.
pid_t launch_script(const std::string& cmdline, int32_t vsd);
// "/bin/sh script", detached.
pid_t launch_shell(const std::string& script);

}  // namespace kiv::manager
