// Who sent a request, as the kernel recorded it when the connection was
// made, and the answers a request handler gives about that client: every
// request is judged by these credentials, never by what the packet says.
#pragma once

#include <stdint.h>
#include <sys/types.h>

namespace kiv::manager {

struct Peer {
  pid_t pid = 0;  // SO_PEERCRED: the client as it connected
  uid_t uid = 0;
};

// A request refused because it concerns what is not the client's. The
// control socket counts it and logs it once per connection.
struct Refusal {
  const char* what = nullptr;  // null: not refused
  int32_t id = 0;
  const char* why = "not a process of that user";
  explicit operator bool() const { return what != nullptr; }
};

enum class Owner { kYes, kNo, kGone };

// Whether the real uid of task id is uid. The pidfd is opened before /proc
// is read, and read_credentials trusts the text only while it still shows
// the task alive, so a reused pid number cannot pass for the task.
Owner owner_check(uid_t uid, pid_t id, bool thread);

}  // namespace kiv::manager
