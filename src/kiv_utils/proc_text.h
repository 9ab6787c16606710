// The readers of /proc texts apart from the files they read, so that the
// texts can be fed to them from elsewhere (the fuzz targets do). Internal.
#pragma once

#include <stddef.h>
#include <stdio.h>

#include "base/proc.h"

namespace kiv {

// buf holds the executable's path (len characters, len + 3 <= size); f is
// /proc/PID/cmdline. Appends the arguments after the first, as
// kiv_get_cmdline() returns them: 0, or -2 when the text was cut.
int append_cmdline_args(FILE* f, char* buf, size_t size, size_t len);
// The "Tgid" of a status text; -1 when it has none.
int status_tgid(FILE* f);
// The "Name" of a status text into dst (n > 0 bytes): 0, or -1.
int status_name(FILE* f, char* dst, int n);
// The VSD number that the first supplementary group of a status text
// gives (get_vsdid()).
int status_vsdid(FILE* f);

}  // namespace kiv
