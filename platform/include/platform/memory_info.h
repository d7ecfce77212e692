#pragma once
// Facts about physical memory.

#include <cstdint>

namespace platform {

// MemAvailable of /proc/meminfo in bytes; 0 when it cannot be read.
std::uint64_t available_physical_memory();

}  // namespace platform
