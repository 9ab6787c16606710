// The Manager's counters of refused and turned-away clients, published in
// a small text file that kivctl shows without asking the Manager anything.
#pragma once

#include <stdint.h>
#include <sys/types.h>

namespace kiv::manager {

constexpr char kStatsPath[] = "/tmp/kiv/kiv.stats";

struct Stats {
  uint64_t refused = 0;      // requests about another user's process
  uint64_t turned_away = 0;  // connections closed at once: over a cap, or descriptors short
  uint64_t idle_closed = 0;  // connections closed after the idle timeout
  uint64_t exhausted = 0;    // times accepting paused because descriptors ran out
};

// Replaces the file in one rename, so a reader never sees half of it.
bool write_stats(const Stats& s);
// Reads the file; false when it is absent, not a regular file of the
// owner of its directory (the Manager's), or unreadable.
bool read_stats(Stats* s);

}  // namespace kiv::manager
