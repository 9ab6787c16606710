// The daemon's command line.
#pragma once

#include <stddef.h>

#include "restart_policy.h"

namespace kiv::manager {

struct Options {
  bool background = false;
  int verbosity = 1;  // see LogLevel; 3 also switches the library's log on
  double time_scale = 1.0;
  RestartLimits limits;
  size_t max_clients = 1024;
  size_t max_per_uid = 64;
  double idle_s = 30;
};

// Fills o from argv. Returns -1 to go on; otherwise the exit status to end
// with at once (0 after --help or --version, 2 after a usage error, both
// printed).
int parse_options(int argc, char** argv, Options* o);

}  // namespace kiv::manager
