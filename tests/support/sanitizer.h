// Whether the tests run in a sanitizer build, whose runtime changes what
// some tests measure (resident memory, system calls under ptrace, signal
// delivery).
#pragma once

namespace kiv::test {

#if defined(__SANITIZE_THREAD__)
inline constexpr bool kThreadSanitized = true;
#else
inline constexpr bool kThreadSanitized = false;
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif

// Resident KiB that a small test program has beyond what it touched: its
// own code, stack and heap; the sanitizer's shadow memory adds to them
// (ThreadSanitizer's some 23 MiB at start).
inline constexpr unsigned kOwnPagesKiB = kThreadSanitized ? 32768 : kSanitized ? 8192 : 1024;

}  // namespace kiv::test
