// Modes of kiv_test_program for the RPC and registration tests.
#include <stdio.h>
#include <stdlib.h>

#include "kiv_rpc.h"

// rpc_client TYPE...: one acknowledged kiv_rpc per type, printing
// "TYPE=RESULT" lines: what the library does in a program of a given name.
int mode_rpc_client(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const unsigned type = static_cast<unsigned>(atoi(argv[i]));
    printf("%u=%d\n", type, kiv_rpc(type, nullptr, &type, sizeof type, 1, 0));
  }
  return 0;
}
