// Sole owner of a stdio stream: closes it once, when the owner goes.
#pragma once

#include <stdio.h>

#include "base/errno_restorer.h"

namespace kiv {

class unique_file {
 public:
  explicit unique_file(FILE* f) : f_(f) {}
  ~unique_file() {
    if (f_ != nullptr) {
      ErrnoRestorer keep_errno;
      (void)fclose(f_);
    }
  }
  unique_file(const unique_file&) = delete;
  unique_file& operator=(const unique_file&) = delete;

  FILE* get() const { return f_; }
  bool ok() const { return f_ != nullptr; }

 private:
  FILE* f_;
};

}  // namespace kiv
