// The program the launch and restart rows start: writes one byte to the
// readiness FIFO as soon as it runs. With "register" it then asks the
// Manager to restart it, writes 'g' and its pid, and waits to be killed;
// otherwise it exits.
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include "kiv_rpc.h"
#include "kiv_xtach.h"

int main(int argc, char** argv) {
  const char* fifo = argc > 1 ? argv[1] : "/tmp/bench-ready";
  const int fd = open(fifo, O_WRONLY | O_CLOEXEC);
  if (fd < 0 || write(fd, "r", 1) != 1) return 1;
  if (argc > 2 && strcmp(argv[2], "register") == 0) {
    (void)reg_process_exit_action(0, KIV_MSG_RESTART);
    char done[1 + sizeof(pid_t)] = {'g'};
    const pid_t self = getpid();
    memcpy(done + 1, &self, sizeof self);
    if (write(fd, done, sizeof done) != static_cast<ssize_t>(sizeof done)) return 1;
    for (;;) pause();
  }
  return 0;
}
