#pragma once
// Fixed-width integers read from and written to byte buffers in either byte order.
// Callers check the bounds; these helpers only assemble the bytes.

#include <cstddef>
#include <cstdint>
#include <span>

namespace wharfkeep {

inline std::uint16_t read_be16(std::span<const std::uint8_t> bytes, std::size_t at) {
    return static_cast<std::uint16_t>((bytes[at] << 8) | bytes[at + 1]);
}

inline std::uint32_t read_be32(std::span<const std::uint8_t> bytes, std::size_t at) {
    return (std::uint32_t{bytes[at]} << 24) | (std::uint32_t{bytes[at + 1]} << 16) |
           (std::uint32_t{bytes[at + 2]} << 8) | std::uint32_t{bytes[at + 3]};
}

inline std::uint64_t read_be64(std::span<const std::uint8_t> bytes, std::size_t at) {
    return (std::uint64_t{read_be32(bytes, at)} << 32) | read_be32(bytes, at + 4);
}

inline std::uint32_t read_le32(std::span<const std::uint8_t> bytes, std::size_t at) {
    return std::uint32_t{bytes[at]} | (std::uint32_t{bytes[at + 1]} << 8) |
           (std::uint32_t{bytes[at + 2]} << 16) | (std::uint32_t{bytes[at + 3]} << 24);
}

inline void write_be32(std::span<std::uint8_t> bytes, std::size_t at, std::uint32_t value) {
    bytes[at] = static_cast<std::uint8_t>(value >> 24);
    bytes[at + 1] = static_cast<std::uint8_t>(value >> 16);
    bytes[at + 2] = static_cast<std::uint8_t>(value >> 8);
    bytes[at + 3] = static_cast<std::uint8_t>(value);
}

inline void write_be64(std::span<std::uint8_t> bytes, std::size_t at, std::uint64_t value) {
    write_be32(bytes, at, static_cast<std::uint32_t>(value >> 32));
    write_be32(bytes, at + 4, static_cast<std::uint32_t>(value));
}

}  // namespace wharfkeep
