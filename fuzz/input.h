// What the fuzz targets share: a file that holds the input (for readers that
// take a path or a stream), and a cursor that takes fields off the input.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

namespace kiv::fuzz {

// An anonymous memory file; its /proc/self/fd path opens a fresh
// description at offset 0, as a /proc file or a database file would.
class InputFile {
 public:
  InputFile() : fd_(memfd_create("fuzz-input", MFD_CLOEXEC)) {
    if (fd_ < 0) abort();
    snprintf(path_, sizeof path_, "/proc/self/fd/%d", fd_);
  }
  ~InputFile() { (void)close(fd_); }
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  const char* set(const uint8_t* data, size_t size) {
    if (ftruncate(fd_, 0) != 0) abort();
    if (size > 0 && pwrite(fd_, data, size, 0) != static_cast<ssize_t>(size)) abort();
    return path_;
  }
  // A stream over the input, read as stdio reads /proc files.
  FILE* open() const {
    FILE* f = fopen(path_, "re");
    if (f == nullptr) abort();
    return f;
  }

 private:
  int fd_;
  char path_[32];
};

// Takes fixed-size fields off the front of the input; 0 once it runs out.
class Cursor {
 public:
  Cursor(const uint8_t* data, size_t size) : p_(data), n_(size) {}
  uint8_t byte() {
    if (n_ == 0) return 0;
    --n_;
    return *p_++;
  }
  const uint8_t* take(size_t want, size_t* got) {
    *got = want < n_ ? want : n_;
    const uint8_t* at = p_;
    p_ += *got;
    n_ -= *got;
    return at;
  }
  const uint8_t* rest() const { return p_; }
  size_t left() const { return n_; }

 private:
  const uint8_t* p_;
  size_t n_;
};

}  // namespace kiv::fuzz
