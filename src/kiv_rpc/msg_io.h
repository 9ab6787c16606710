// Frame reception shared by the exported receive and the RPC call's wait for
// its acknowledgement.
#pragma once

#include <stddef.h>

#include "kiv_rpc.h"

namespace kiv {

// Receives one frame from sd: into small when it fits there (then *out ==
// small), else into a heap block of its exact size that the caller frees.
// 0, or -1 (logged) when no whole frame could be read.
int recv_frame(int sd, void* small, size_t small_len, kiv_msg** out);

}  // namespace kiv
