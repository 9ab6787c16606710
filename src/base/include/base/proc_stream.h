// A /proc file opened for reading through stdio with a buffer of our own.
#pragma once

#include <stdio.h>

namespace kiv {

// procfs reports a block size of 1 KiB, and glibc sizes a stream's buffer
// from it on the first read: an fstat, a heap buffer, then one read per
// KiB. A buffer set before the first read spares all three. It must
// outlive the stream.
constexpr size_t kProcStreamLen = 4096;

template <size_t N>
FILE* open_proc_stream(const char* path, char (&buf)[N]) {
  FILE* f = fopen(path, "re");
  if (f != nullptr) (void)setvbuf(f, buf, _IOFBF, N);
  return f;
}

}  // namespace kiv
