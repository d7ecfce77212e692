#pragma once
// Bytes as upper-case hexadecimal text, high nibble first: the text form of GCIDs, digests
// and peer ids wherever they are shown, stored or sent.

#include <cstdint>
#include <span>
#include <string>

namespace platform {

inline std::string upper_hex(std::span<const std::uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (const std::uint8_t byte : bytes) {
        text.push_back(kDigits[byte >> 4]);
        text.push_back(kDigits[byte & 0x0F]);
    }
    return text;
}

}  // namespace platform
