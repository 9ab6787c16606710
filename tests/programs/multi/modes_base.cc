// Modes of kiv_test_program for the base-module tests.
#include <unistd.h>

// Tells its starter that it runs past exec (one byte on descriptor 3), then
// waits to be killed: a process that tests inspect through /proc.
int mode_utils_sleeper(int, char**) {
  const char ready = 'r';
  if (write(3, &ready, 1) != 1) return 1;
  close(3);
  for (;;) pause();
}
