// The Manager request that is sent again until the Manager takes it: the
// registrations and withdrawals of processes and threads. Internal.
#pragma once

#include <stdint.h>

namespace kiv {

struct RetryPolicy {
  int attempts;              // sends at most
  int pause_sec;             // after a refused send
  bool pause_after_success;  // gives the Manager a moment to act first
};

// Registration and thread registration: half a minute of attempts, for a
// Manager that is still starting.
constexpr RetryPolicy kRegisterRetry = {30, 1, false};

struct RetryResult {
  int result;  // kiv_rpc's last result: 0, or -1 when every send failed
  int err;     // errno after the last send; the caller reports a failure
};

// Sends the nameless, acknowledged request (type, data) until kiv_rpc
// takes it or policy.attempts are spent.
RetryResult rpc_with_retry(const RetryPolicy& policy, uint32_t type, const void* data, uint32_t len);

}  // namespace kiv
