// kiv-sandbox: runs a command inside the tests' throwaway sandbox (private
// namespaces, an overlay over / whose changes vanish, the device's
// directories), so that the demo can run the Manager as on the device
// without touching the host.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "sandbox/sandbox.h"

int main(int argc, char** argv) {
  if (argc < 2 || strcmp(argv[1], "--help") == 0) {
    fputs("Usage: kiv-sandbox COMMAND [ARG]...\n"
          "Runs COMMAND as root inside a throwaway sandbox; every process started\n"
          "there ends with it, and nothing it writes reaches the host.\n",
          argc < 2 ? stderr : stdout);
    return argc < 2 ? 2 : 0;
  }
  kiv::sandbox::enter_sandbox();
  if (!kiv::sandbox::sandbox_unavailable_reason().empty()) {
    fprintf(stderr, "kiv-sandbox: %s\n", kiv::sandbox::sandbox_unavailable_reason().c_str());
    return 1;
  }
  execvp(argv[1], argv + 1);
  fprintf(stderr, "kiv-sandbox: %s: %s\n", argv[1], strerror(errno));
  return 127;
}
