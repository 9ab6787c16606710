// The log gate: tagged lines "[KIV:module:line]text" on stdout, printed only
// while their debug level is on. A suppressed line evaluates none of its
// arguments, and logging never changes errno.
//
// A source file that logs defines, inside namespace kiv,
//   constexpr char kLogModule[] = "kiv_rpc";
#pragma once

#include <stdio.h>

#include "base/errno_restorer.h"
#include "kiv_dbg.h"

namespace kiv {

inline bool log_level_on(int level) {
  return __atomic_load_n(&g_kiv_dbg_level[level], __ATOMIC_RELAXED) != KIV_DBG_OFF;
}

}  // namespace kiv

// Always printed, whatever the levels.
#define KIV_PRINT(fmt, ...)                                                   \
  do {                                                                        \
    ::kiv::ErrnoRestorer kiv_log_errno_;                                      \
    printf("[KIV:%s:%d]" fmt, kLogModule, __LINE__ __VA_OPT__(, ) __VA_ARGS__); \
  } while (0)

#define KIV_LOG_AT(level, fmt, ...)                             \
  do {                                                          \
    if (::kiv::log_level_on(level)) {                           \
      KIV_PRINT(fmt __VA_OPT__(, ) __VA_ARGS__);                \
    }                                                           \
  } while (0)

// Gated by the lib level: every tagged message but the alive table's.
#define KIV_LOG(fmt, ...) KIV_LOG_AT(KIV_DBG_LIB, fmt __VA_OPT__(, ) __VA_ARGS__)
// Gated by the alive level: the alive table's per-entry operations.
#define KIV_LOG_ALIVE(fmt, ...) KIV_LOG_AT(KIV_DBG_ALIVE, fmt __VA_OPT__(, ) __VA_ARGS__)
