// The fast clock of the registration and RPC tests (see reg_helpers.h): this
// binary's sleep(), select() and poll() come before libc's (and a sanitizer's
// interceptors) for the library's calls; other callers, and every call while
// the clock runs at normal speed, get the next definition (RTLD_NEXT).
#include <dlfcn.h>
#include <poll.h>
#include <string.h>
#include <sys/select.h>

#include <atomic>

#include "kiv_xtach/reg_helpers.h"

namespace {

constexpr int kMaxNotes = 1024, kLongestPollMs = 50;
std::atomic<bool> g_fast{false};
std::atomic<int> g_count{0};
int g_notes[kMaxNotes];  // milliseconds; negative for a poll

bool from_library(const void* caller) {
  Dl_info info;
  return g_fast && dladdr(caller, &info) != 0 && info.dli_fname != nullptr && strstr(info.dli_fname, "/libkiv.so");
}
void note(long ms) {
  if (const int i = g_count++; i < kMaxNotes) g_notes[i] = static_cast<int>(ms);
}
template <typename Fn>
Fn next(const char* name) {
  return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

}  // namespace

void kiv::test::fast_clock(bool on) { g_fast = on, g_count = 0; }

std::string kiv::test::pauses() {
  const int n = std::min(g_count.exchange(0), kMaxNotes);
  std::string out;
  for (int i = 0, run = 1; i < n; i += run) {
    for (run = 1; i + run < n && g_notes[i + run] == g_notes[i];) ++run;
    out += (out.empty() ? "" : " ") + std::string(g_notes[i] < 0 ? "poll" : "sleep") +
           std::to_string(abs(g_notes[i])) + (run > 1 ? "x" + std::to_string(run) : "");
  }
  return out;
}

extern "C" unsigned int sleep(unsigned int seconds) {
  if (!from_library(__builtin_return_address(0))) return next<unsigned (*)(unsigned)>("sleep")(seconds);
  note(1000L * seconds);
  return 0;
}

extern "C" int select(int n, fd_set* r, fd_set* w, fd_set* e, struct timeval* tv) {
  if (n != 0 || tv == nullptr || !from_library(__builtin_return_address(0)))
    return next<int (*)(int, fd_set*, fd_set*, fd_set*, struct timeval*)>("select")(n, r, w, e, tv);
  note(tv->tv_sec * 1000L + tv->tv_usec / 1000);
  tv->tv_sec = tv->tv_usec = 0;
  return 0;
}

extern "C" int poll(struct pollfd* fds, nfds_t n, int timeout_ms) {
  const auto real = next<int (*)(struct pollfd*, nfds_t, int)>("poll");
  if (timeout_ms <= kLongestPollMs || !from_library(__builtin_return_address(0))) return real(fds, n, timeout_ms);
  const int r = real(fds, n, kLongestPollMs);
  if (r == 0) note(-timeout_ms);
  return r;
}
