// The measuring rules every row of the benchmark table follows: a library
// call and its floor timed in alternating blocks of one run, the median of
// each, chosen CPU placements, heap calls counted, one table printed.
#pragma once

#include <stdint.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace bench {

constexpr int kBlocks = 9;

struct Medians {
  double lib_ns = 0;    // per call
  double floor_ns = 0;  // per call
};

// Times kBlocks blocks of n library calls and kBlocks blocks of n floor
// calls, alternating which goes first, and returns the median per call.
Medians alternate(int n, const std::function<void()>& lib, const std::function<void()>& floor);

int64_t now_ns();
double percentile(std::vector<double> v, double p);

// Pins the calling process to one CPU; false when the CPU isn't there.
bool pin_to(int cpu);
void unpin();
int cpus();

// malloc, calloc, realloc and posix_memalign calls made by this process
// since it started (the bench binary interposes them).
uint64_t heap_calls();
// Heap calls per call of fn over n calls.
double heap_per_call(int n, const std::function<void()>& fn);

// Table rows. A ratio row passes when lib / floor <= goal and also holds.
void ratio_row(const std::string& what, const Medians& m, double goal, const std::string& note = "",
               bool also = true);
// A row judged by its own numbers.
void row(const std::string& what, const std::string& value, const std::string& goal, bool pass,
         const std::string& note = "");
void not_measured(const std::string& what, const std::string& goal, const std::string& why);
void print_table();

// Children the rows start: reaped and, if still there, killed at the end.
pid_t start_child(const std::function<void()>& body);
void stop_child(pid_t pid);

}  // namespace bench
