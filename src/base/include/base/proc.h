// Readers of a process's /proc files, one rule each for the library and the
// tools.
#pragma once

#include <stddef.h>
#include <sys/types.h>

namespace kiv {

// Enough for /proc/PID/stat: the command name is at most 64 bytes.
constexpr size_t kProcStatLen = 1024;

// Reads /proc/PID/NAME as text into buf (read_small_file). Returns the
// length, or -1 (errno) when it can't be read: mostly a process gone.
ssize_t read_proc_file(pid_t pid, const char* name, char* buf, size_t size);

// The fields of a /proc/PID/stat text after the command name, which may
// itself hold blanks and parentheses: the text after the last ')', from
// the state letter on ("S 1 ..."). Null for a text that has none.
const char* stat_fields_of(const char* text);

// Whether a /proc/PID/stat text shows a living process: its state is none
// of zombie and dead ('Z', 'X', 'x').
bool stat_says_alive(const char* text);

}  // namespace kiv
