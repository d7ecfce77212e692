#pragma once
// Clocks: a 32-bit millisecond tick that wraps like the classic tick counter, a
// 64-bit monotonic millisecond clock, and calendar seconds.

#include <cstdint>

namespace platform {

// Monotonic milliseconds since an arbitrary origin, truncated to 32 bits (wraps after ~49 days).
std::uint32_t tick_count();
// Monotonic milliseconds since an arbitrary origin, never wrapping.
std::uint64_t monotonic_ms();
// Seconds since the Unix epoch.
std::int64_t unix_time();

}  // namespace platform
