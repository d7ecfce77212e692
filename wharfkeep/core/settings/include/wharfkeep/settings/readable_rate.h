#pragma once
// Upload rates as operators write them: "2MB/s", "800kbit/s", "1.5MiB/s", or a plain
// number of bytes per second.

#include <cstdint>
#include <optional>
#include <string>

namespace wharfkeep::settings {

// Bytes per second, rounded down; nothing for text that is not a rate or for a rate above
// 4294967295 bytes per second. Byte units take "B" (kB = 1000 B, KiB = 1024 B); bit units
// are written "bit" or "bps" (800kbit/s = 800kbps = 100000 B/s).
std::optional<std::uint32_t> ParseReadableRate(const std::string& text);

}  // namespace wharfkeep::settings
