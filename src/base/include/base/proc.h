// Readers of a process's /proc files, one rule each for the library and the
// tools.
#pragma once

#include <stddef.h>
#include <stdio.h>
#include <sys/types.h>

#include "base/proc_stream.h"

namespace kiv {

// Lines of /proc/ID/status as the readers take them: a longer line comes
// in pieces, of which only the first begins with its key.
constexpr size_t kStatusLineLen = 256;

// /proc/ID/status of a task as a stream with the buffer buf, which must
// outlive it; null (errno set) when the task is gone.
FILE* open_proc_status(pid_t id, char (&buf)[kProcStreamLen]);

// Reads a status stream up to the first line that begins with key (the
// field name and its colon, "Tgid:"), whose text is left in line. False
// when there is none. Only the line's start counts: a field's value, such
// as a process name the process chose itself, never passes for another.
bool find_status_line(FILE* f, const char* key, char (&line)[kStatusLineLen]);

// The value of a line found by key: after the key and the kernel's tab.
const char* status_value(const char* line, const char* key);

// Enough for /proc/PID/stat: the command name is at most 64 bytes.
constexpr size_t kProcStatLen = 1024;

// Reads /proc/PID/NAME as text into buf (at most size - 1 bytes, then a
// NUL; size >= 1) with one read(2): for the files made by one show call
// (stat, status, comm, ...). Returns the length, or -1 (errno; buf empty
// once opened) when it can't be read: mostly a process gone.
ssize_t read_proc_file(pid_t pid, const char* name, char* buf, size_t size);

// The fields of a /proc/PID/stat text after the command name, which may
// itself hold blanks and parentheses: the text after the last ')', from
// the state letter on ("S 1 ..."). Null for a text that has none.
const char* stat_fields_of(const char* text);

// Whether a /proc/PID/stat text shows a living process: its state is none
// of zombie and dead ('Z', 'X', 'x').
bool stat_says_alive(const char* text);

}  // namespace kiv
