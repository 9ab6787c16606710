// Sole owner of a file descriptor: closes it once, when the owner goes.
#pragma once

#include <unistd.h>

#include "base/errno_restorer.h"

namespace kiv {

class unique_fd {
 public:
  constexpr unique_fd() = default;
  constexpr explicit unique_fd(int fd) : fd_(fd) {}
  ~unique_fd() { reset(); }

  unique_fd(unique_fd&& other) : fd_(other.release()) {}
  unique_fd& operator=(unique_fd&& other) {
    reset(other.release());
    return *this;
  }
  unique_fd(const unique_fd&) = delete;
  unique_fd& operator=(const unique_fd&) = delete;

  int get() const { return fd_; }
  bool ok() const { return fd_ >= 0; }

  // Hands the descriptor to the caller, who then owns it.
  [[nodiscard]] int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

  // Closes the owned descriptor, never retrying: on Linux the descriptor is
  // released even when close() reports EINTR, and a retry could close a
  // descriptor that another thread has just been given.
  void reset(int fd = -1) {
    if (fd_ >= 0) {
      ErrnoRestorer keep_errno;
      (void)::close(fd_);
    }
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

}  // namespace kiv
