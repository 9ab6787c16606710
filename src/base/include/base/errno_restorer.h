// Keeps errno across code that may change it (logging, cleanup).
#pragma once

#include <errno.h>

namespace kiv {

class ErrnoRestorer {
 public:
  ErrnoRestorer() : saved_(errno) {}
  ~ErrnoRestorer() { errno = saved_; }
  ErrnoRestorer(const ErrnoRestorer&) = delete;
  ErrnoRestorer& operator=(const ErrnoRestorer&) = delete;

 private:
  int saved_;
};

}  // namespace kiv
