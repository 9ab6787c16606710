/* ha_client: a sample client of the Manager. It asks to be restarted when
 * it exits, announces itself on the control semaphore, and runs a worker
 * thread under the Manager's watchdog that beats every 100 ms. SIGUSR2
 * makes the worker stop beating, as a stuck thread would: the Manager then
 * aborts that thread, and restarts the program. */
#define _GNU_SOURCE
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "kiv_sem.h"
#include "kiv_xtach.h"

static volatile sig_atomic_t g_stalled;

static void on_usr2(int sig) {
  (void)sig;
  g_stalled = 1;
}

static void* worker(void* arg) {
  const pid_t pid = getpid();
  const pid_t tid = (pid_t)syscall(SYS_gettid);
  (void)arg;
  /* An even time argument: sampled every 5 s, hung after 120 s without a
   * beat. The first beat registers the thread when needed. */
  if (kiv_client_reg_thread_notify(pid, tid, 2, 1) != 0) fprintf(stderr, "ha_client: watchdog registration failed\n");
  for (;;) {
    if (!g_stalled) (void)kiv_client_reset_thread_notify(pid, tid, 2, 1);
    usleep(100000);
  }
  return NULL;
}

int main(void) {
  pthread_t t;
  signal(SIGUSR2, on_usr2);
  (void)reg_process_exit_action(0, KIV_EXIT_RESTART);
  (void)kiv_client_control_thread_notify(0);
  if (pthread_create(&t, NULL, worker, NULL) != 0) return 1;
  printf("ha_client %d: registered for restart, worker beating\n", (int)getpid());
  fflush(stdout);
  for (;;) pause();
}
