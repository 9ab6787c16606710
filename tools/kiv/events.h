// The daemon's one epoll set: every descriptor it waits on, tagged with
// what it is so that the loop can hand its events to the right part.
#pragma once

#include <stdint.h>

#include "base/unique_fd.h"

namespace kiv::manager {

enum Tag : uint32_t { kListen = 1, kSignal, kConn, kProc, kHelper };

class EventSet {
 public:
  // Creates the set. False (errno set) on failure.
  bool open();
  // Adds fd with its tag; false (logged) on failure.
  bool add(int fd, Tag tag, uint32_t events);
  // Removes fd; a descriptor not in the set is no error.
  void del(int fd);
  // Removes fd, ignoring every failure.
  void forget(int fd);
  int fd() const { return epoll_.get(); }
  static Tag tag_of(uint64_t data) { return static_cast<Tag>(data >> 32); }
  static int fd_of(uint64_t data) { return static_cast<int>(data & 0xffffffffu); }

 private:
  kiv::unique_fd epoll_;
};

}  // namespace kiv::manager
