// Sends kiv_rpc requests given on the command line and prints each result:
//   rpc_client TYPE[:ACK] ...   e.g. rpc_client 3:1 5:1 1:0
// Used to test how the library behaves in a process of a given name.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "kiv_rpc.h"

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    unsigned type = static_cast<unsigned>(strtoul(argv[i], nullptr, 10));
    const char* colon = strchr(argv[i], ':');
    int ack = colon != nullptr ? atoi(colon + 1) : 0;
    int payload = static_cast<int>(type);
    printf("%u=%d\n", type, kiv_rpc(type, nullptr, &payload, sizeof payload, static_cast<uint8_t>(ack), 0));
  }
  return 0;
}
