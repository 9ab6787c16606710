// Sending a request again until the Manager takes it.
#include "kiv_rpc/rpc_retry.h"

#include <errno.h>

#include "kiv_rpc.h"
#include "kiv_utils.h"

namespace kiv {

RetryResult rpc_with_retry(const RetryPolicy& policy, uint32_t type, const void* data, uint32_t len) {
  RetryResult r = {-1, 0};
  for (int i = 0; i < policy.attempts; ++i) {
    r.result = kiv_rpc(type, nullptr, data, len, 1, 0);
    r.err = errno;
    if (r.result >= 0 && !policy.pause_after_success) break;
    (void)safe_sleep(policy.pause_sec);
    if (r.result >= 0) break;
  }
  return r;
}

}  // namespace kiv
