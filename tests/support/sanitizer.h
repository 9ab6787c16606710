// Whether this is a sanitizer build, whose runtime changes some measures (memory, signals).
#pragma once

namespace kiv::test {

#if defined(__SANITIZE_THREAD__)
inline constexpr bool kThreadSanitized = true, kSanitized = true;
#elif defined(__SANITIZE_ADDRESS__)
inline constexpr bool kThreadSanitized = false, kSanitized = true;
#else
inline constexpr bool kThreadSanitized = false, kSanitized = false;
#endif

// Resident KiB of a small test program beyond what it touched (TSan's shadow: ~23 MiB).
inline constexpr unsigned kOwnPagesKiB = kThreadSanitized ? 32768 : kSanitized ? 8192 : 1024;

}  // namespace kiv::test
