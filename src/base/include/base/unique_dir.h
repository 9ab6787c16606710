// Sole owner of a directory stream: closes it once, when the owner goes.
#pragma once

#include <dirent.h>

#include "base/errno_restorer.h"

namespace kiv {

class unique_dir {
 public:
  explicit unique_dir(DIR* d) : d_(d) {}
  ~unique_dir() {
    if (d_ != nullptr) {
      ErrnoRestorer keep_errno;
      (void)closedir(d_);
    }
  }
  unique_dir(const unique_dir&) = delete;
  unique_dir& operator=(const unique_dir&) = delete;

  DIR* get() const { return d_; }
  bool ok() const { return d_ != nullptr; }

 private:
  DIR* d_;
};

}  // namespace kiv
