// Where a program's restart script lives: the one rule for the library's
// launch, the Manager and vsdctl.
#pragma once

#include <stddef.h>

namespace kiv {

// The restart script of a command's first word: /etc/cmdmap/NAME.sh for a
// word with a slash (NAME after the last one), /etc/cmdmap/WORD for a bare
// word. Formatted into dst as snprintf does (dst may be null with size 0);
// returns the whole path's length.
int restart_script_path(const char* word, char* dst, size_t size);

}  // namespace kiv
