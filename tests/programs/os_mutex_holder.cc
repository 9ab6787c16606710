// Takes the mutex semaphore of PATH, says "locked", then holds it for
// HOLD_MS milliseconds and releases it ("unlocked"), or holds it until
// killed when HOLD_MS is negative.
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "kiv_os.h"

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  int id = -1;
  if (kiv_os_init_mutex_sem(argv[1], &id) != 0) return 3;
  if (kiv_os_lock_mutex_sem(id) != 0) return 4;
  printf("locked\n");
  fflush(stdout);
  const long hold_ms = strtol(argv[2], nullptr, 10);
  if (hold_ms < 0) {
    for (;;) pause();
  }
  usleep(static_cast<useconds_t>(hold_ms) * 1000);
  if (kiv_os_unlock_mutex_sem(id) != 0) return 5;
  printf("unlocked\n");
  return 0;
}
