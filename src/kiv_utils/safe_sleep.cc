// Sleeps that resume after a signal for the time that remained.
#include <errno.h>
#include <sys/select.h>

#include "kiv_utils.h"

namespace kiv {
namespace {

// Linux's select() writes the time not slept back into the timeout, so a
// retry with the same structure finishes the original length only.
int sleep_for(struct timeval tv) {
  while (select(0, nullptr, nullptr, nullptr, &tv) < 0) {
    if (errno != EINTR) return errno;
  }
  return 0;
}

}  // namespace
}  // namespace kiv

extern "C" int safe_sleep(int seconds) { return kiv::sleep_for({seconds, 0}); }

extern "C" int safe_usleep(int microseconds) { return kiv::sleep_for({0, microseconds}); }
