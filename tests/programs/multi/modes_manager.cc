// The mode of kiv_test_program for the Manager's tests: a device program
// that registers through the library.
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include "kiv_xtach.h"

namespace {

const char* g_out = nullptr;

void note(const char* what, long v) {
  FILE* f = g_out != nullptr ? fopen(g_out, "ae") : nullptr;
  if (f != nullptr) fprintf(f, "%s %ld\n", what, v), fclose(f);
}

long now_ms() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

// Appends "start PID" to the file given, then registers its restart
// ("registered MS": how long that took, -1 when it failed) and waits.
int mode_mgr_client(int argc, char** argv) {
  if (argc != 2) return 2;
  g_out = argv[1];
  note("start", getpid());
  // The acknowledged registration returns 0 whatever happened: only the
  // time it took tells whether the Manager answered at once.
  const long t0 = now_ms();
  note("registered", reg_process_exit_action(0, KIV_EXIT_RESTART) == 0 ? now_ms() - t0 : -1);
  for (;;) pause();
}
