// Ownership checks of the tasks a request names.
#include "peer.h"

#include "creds.h"
#include "base/unique_fd.h"
#include "procs.h"

namespace kiv::manager {

Owner owner_check(uid_t uid, pid_t id, bool thread) {
  kiv::unique_fd pfd(open_pidfd(id, thread));
  Credentials c;
  if (!pfd.ok() || !read_credentials(id, pfd.get(), &c)) return Owner::kGone;
  return c.uid == uid ? Owner::kYes : Owner::kNo;
}

}  // namespace kiv::manager
