// Sole owner of a stdio or directory stream: closes it once, when the
// owner goes, keeping errno.
#pragma once

#include "base/errno_restorer.h"

namespace kiv {

template <typename T, int (*Close)(T*)>
class unique_stream {
 public:
  explicit unique_stream(T* s) : s_(s) {}
  ~unique_stream() {
    if (s_ != nullptr) {
      ErrnoRestorer keep_errno;
      (void)Close(s_);
    }
  }
  unique_stream(const unique_stream&) = delete;
  unique_stream& operator=(const unique_stream&) = delete;

  T* get() const { return s_; }
  bool ok() const { return s_ != nullptr; }

 private:
  T* s_;
};

}  // namespace kiv
