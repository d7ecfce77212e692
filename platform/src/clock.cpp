#include "platform/clock.h"

#include <ctime>

namespace platform {

std::uint64_t monotonic_ms() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000u +
           static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
}

std::uint32_t tick_count() {
    return static_cast<std::uint32_t>(monotonic_ms());
}

std::int64_t unix_time() {
    return static_cast<std::int64_t>(::time(nullptr));
}

}  // namespace platform
