// Timing, placement, heap counting and the table of the benchmark binary.
#include "harness.h"

#include <dlfcn.h>
#include <errno.h>
#include <malloc.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>

#include "base/mono_time.h"

namespace {

std::atomic<uint64_t> g_heap_calls{0};

struct Line {
  std::string what, lib, floor, ratio, goal, result, note;
};
std::vector<Line> g_lines;

std::string fmt_ns(double ns) {
  char b[32];
  if (ns >= 1e6) {
    snprintf(b, sizeof b, "%.2f ms", ns / 1e6);
  } else {
    snprintf(b, sizeof b, "%.2f us", ns / 1e3);
  }
  return b;
}

}  // namespace

// Every heap call of the process, the library's included, passes through
// these: the executable's definitions come first in symbol lookup.
extern "C" void* __libc_malloc(size_t);
extern "C" void* __libc_calloc(size_t, size_t);
extern "C" void* __libc_realloc(void*, size_t);
extern "C" void* __libc_memalign(size_t, size_t);
extern "C" void* malloc(size_t n) {
  g_heap_calls.fetch_add(1, std::memory_order_relaxed);
  return __libc_malloc(n);
}
extern "C" void* calloc(size_t n, size_t m) {
  g_heap_calls.fetch_add(1, std::memory_order_relaxed);
  return __libc_calloc(n, m);
}
extern "C" void* realloc(void* p, size_t n) {
  g_heap_calls.fetch_add(1, std::memory_order_relaxed);
  return __libc_realloc(p, n);
}
extern "C" int posix_memalign(void** p, size_t a, size_t n) {
  g_heap_calls.fetch_add(1, std::memory_order_relaxed);
  *p = __libc_memalign(a, n);
  return *p == nullptr ? ENOMEM : 0;
}

namespace bench {

int64_t now_ns() {
  const struct timespec ts = kiv::mono_now();
  return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t i = static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
  return v[std::min(i, v.size() - 1)];
}

Medians alternate(int n, const std::function<void()>& lib, const std::function<void()>& floor) {
  std::vector<double> l, f;
  for (int b = 0; b < kBlocks; ++b) {
    for (int pass = 0; pass < 2; ++pass) {
      const bool is_lib = (pass == 0) == (b % 2 == 0);
      const int64_t t0 = now_ns();
      for (int i = 0; i < n; ++i) (is_lib ? lib : floor)();
      (is_lib ? l : f).push_back(static_cast<double>(now_ns() - t0) / n);
    }
  }
  return {percentile(l, 0.5), percentile(f, 0.5)};
}

bool pin_to(int cpu) {
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  return sched_setaffinity(0, sizeof set, &set) == 0;
}

void unpin() {
  cpu_set_t set;
  CPU_ZERO(&set);
  for (int i = 0; i < cpus(); ++i) CPU_SET(i, &set);
  (void)sched_setaffinity(0, sizeof set, &set);
}

int cpus() { return static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN)); }

uint64_t heap_calls() { return g_heap_calls.load(std::memory_order_relaxed); }

double heap_per_call(int n, const std::function<void()>& fn) {
  const uint64_t h0 = heap_calls();
  for (int i = 0; i < n; ++i) fn();
  return static_cast<double>(heap_calls() - h0) / n;
}

void ratio_row(const std::string& what, const Medians& m, double goal, const std::string& note, bool also) {
  const double r = m.floor_ns > 0 ? m.lib_ns / m.floor_ns : 0;
  char rb[32], gb[32];
  snprintf(rb, sizeof rb, "%.2fx", r);
  snprintf(gb, sizeof gb, "<= %.2fx", goal);
  g_lines.push_back({what, fmt_ns(m.lib_ns), fmt_ns(m.floor_ns), rb, gb,
                     r > 0 && r <= goal && also ? "pass" : "FAIL", note});
}

void row(const std::string& what, const std::string& value, const std::string& goal, bool pass,
         const std::string& note) {
  g_lines.push_back({what, value, "", "", goal, pass ? "pass" : "FAIL", note});
}

void not_measured(const std::string& what, const std::string& goal, const std::string& why) {
  g_lines.push_back({what, "", "", "", goal, "not measurable yet", why});
}

void print_table() {
  printf("| What | Library | Floor | Ratio | Goal | Result | Note |\n");
  printf("|---|---|---|---|---|---|---|\n");
  for (const Line& x : g_lines) {
    printf("| %s | %s | %s | %s | %s | %s | %s |\n", x.what.c_str(), x.lib.c_str(), x.floor.c_str(),
           x.ratio.c_str(), x.goal.c_str(), x.result.c_str(), x.note.c_str());
  }
  fflush(stdout);
}

pid_t start_child(const std::function<void()>& body) {
  fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    body();
    _exit(0);
  }
  return pid;
}

void stop_child(pid_t pid) {
  if (pid <= 0) return;
  (void)kill(pid, SIGKILL);
  while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace bench
