#pragma once
// Builds stream-description files for tests: two texts, check digest, total size, GCID,
// pieces of (16-byte digest, size), all little-endian and length-prefixed.

#include <cstdint>
#include <string>
#include <vector>

namespace catalogd::test {

struct DescriptionPiece {
    std::uint8_t digest_fill;
    std::uint32_t size;
};

inline void put_le32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<std::uint8_t>(value >> shift));
    }
}

inline void put_le64(std::vector<std::uint8_t>& out, std::uint64_t value) {
    for (int shift = 0; shift < 64; shift += 8) {
        out.push_back(static_cast<std::uint8_t>(value >> shift));
    }
}

inline void put_field(std::vector<std::uint8_t>& out, const std::vector<std::uint8_t>& bytes) {
    put_le32(out, static_cast<std::uint32_t>(bytes.size()));
    out.insert(out.end(), bytes.begin(), bytes.end());
}

inline std::vector<std::uint8_t> make_description(std::uint64_t total_size,
                                                  const std::vector<DescriptionPiece>& pieces,
                                                  std::uint8_t gcid_fill = 0xAB) {
    std::vector<std::uint8_t> out;
    put_field(out, {});
    put_field(out, {'t', 'w', 'o'});
    put_field(out, std::vector<std::uint8_t>(20, 0xC1));
    put_le64(out, total_size);
    put_field(out, std::vector<std::uint8_t>(20, gcid_fill));
    put_le32(out, static_cast<std::uint32_t>(pieces.size()));
    for (const DescriptionPiece& piece : pieces) {
        put_field(out, std::vector<std::uint8_t>(16, piece.digest_fill));
        put_le32(out, piece.size);
    }
    return out;
}

}  // namespace catalogd::test
