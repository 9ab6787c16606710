// Whole reads and writes that survive interrupted system calls, and the
// small-file read and one-shot write built on them.
#pragma once

#include <stddef.h>
#include <sys/types.h>

namespace kiv {

// Reads (writes) until n bytes are done, end of file (a write of 0) or an
// error other than EINTR. Returns the bytes done, -1 (errno) on an error.
ssize_t read_all(int fd, void* buf, size_t n);
ssize_t write_all(int fd, const void* buf, size_t n);

// Reads fd into buf as text: at most size - 1 bytes (size >= 1), then a
// NUL. Returns the length, -1 (errno; buf empty) when the read failed.
ssize_t read_text(int fd, char* buf, size_t size);

// read_text of the file at path, opened O_RDONLY | O_CLOEXEC | flags.
// Returns -1 (errno) when it can't be opened (buf untouched) or read.
ssize_t read_small_file(const char* path, char* buf, size_t size, int flags = 0);

}  // namespace kiv
