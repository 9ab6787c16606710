// A process that tests inspect through /proc: it tells its starter that it
// runs past exec (one byte on descriptor 3), then waits to be killed.
#include <unistd.h>

int main() {
  const char ready = 'r';
  if (write(3, &ready, 1) != 1) return 1;
  close(3);
  for (;;) pause();
}
