// The one rule for a pid-named directory entry.
#include <limits.h>

#include "base/pid_walk.h"

namespace kiv {

static_assert(sizeof(pid_t) == sizeof(int), "pid_t is an int");

pid_t pid_of_name(const char* name) {
  if (name == nullptr || *name == '\0') return 0;
  long long value = 0;
  for (const char* p = name; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return 0;
    value = value * 10 + (*p - '0');
    if (value > INT_MAX) return 0;  // pid_t is an int: past it, no pid
  }
  return static_cast<pid_t>(value);
}

}  // namespace kiv
