// The daemon's epoll set.
#include "events.h"

#include <errno.h>
#include <sys/epoll.h>

#include "log.h"

namespace kiv::manager {

bool EventSet::open() {
  epoll_.reset(epoll_create1(EPOLL_CLOEXEC));
  return epoll_.ok();
}

bool EventSet::add(int fd, Tag tag, uint32_t events) {
  struct epoll_event ev = {};
  ev.events = events;
  ev.data.u64 = (static_cast<uint64_t>(tag) << 32) | static_cast<uint32_t>(fd);
  if (epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &ev) == 0) return true;
  KIVD_ERROR("epoll_ctl add fd %d: %m", fd);
  return false;
}

// A descriptor leaves an epoll set only when its file's last copy is
// closed, and a child forked but not yet executing holds copies of all of
// them: a pidfd closed without this would go on reporting its ended
// process under its old number, by then given to a new pidfd.
void EventSet::del(int fd) {
  if (epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, fd, nullptr) != 0 && errno != ENOENT) {
    KIVD_ERROR("epoll_ctl del fd %d: %m", fd);
  }
}

void EventSet::forget(int fd) { (void)epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, fd, nullptr); }

}  // namespace kiv::manager
