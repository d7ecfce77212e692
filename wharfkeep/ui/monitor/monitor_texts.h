#pragma once
// The number texts of the monitoring pages and the comparisons their lists sort by.
// The sizes, rates and durations come from wharfkeep/quantity_text.h.

#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "wharfkeep/quantity_text.h"

namespace wharfkeep::ui::monitor {

using wharfkeep::ByteRateText;
using wharfkeep::BytesText;
using wharfkeep::DurationText;
using wharfkeep::SizeText;
// A rate given in bytes per second shown in bits per second: SizeText(rate * 8) + "b/s".
std::string BitRateText(std::uint64_t bytes_per_second);
// The 16 bytes as 32 upper-case hexadecimal digits.
std::string PeerIdText(const std::uint8_t (&peer_id)[16]);
// "a.b.c.d:port" of an address held in network byte order.
std::string PeerAddressText(const sockaddr_in& address);

// ---- Comparisons: negative, zero or positive like strcmp ----

// Size texts with any suffix ("900.00KB", "1.00MB", "7.99Kb/s", "512B"): by the unit letter
// right after the number first (none < K < M < G < T), then by the number.
int CompareSizeTexts(std::string_view a, std::string_view b);
// Decimal counts.
int CompareDecimalTexts(std::string_view a, std::string_view b);
// "a.b.c.d:port": by the address as a 32-bit value with the first octet most significant,
// then by the port. Texts that do not parse come first.
int CompareAddressTexts(std::string_view a, std::string_view b);
// "H:MM:SS" by the number of seconds, so that "100:00:00" follows "99:59:59".
int CompareDurationTexts(std::string_view a, std::string_view b);

}  // namespace wharfkeep::ui::monitor
