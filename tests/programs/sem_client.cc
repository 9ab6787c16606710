// A client of the control semaphore: raises the count once, reports it on
// stdout, then exits ("exit") or waits to be killed ("hold").
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "kiv_sem.h"

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const int rc = kiv_client_control_thread_notify(KIV_SEM_CMD_INCREASE);
  printf("raised %d\n", rc);
  fflush(stdout);
  if (strcmp(argv[1], "hold") == 0) {
    for (;;) pause();
  }
  return 0;
}
