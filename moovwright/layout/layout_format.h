#pragma once
// Bit arithmetic of the streaming layout's packed index entries: sbix entries keep a track
// index above a sample size, kyct entries a sync flag above a composition offset, each in
// the fewest whole bytes that hold both.

#include <cstdint>

namespace moovwright::layout {

// Number of bits needed to hold x: 0 for 0, 1 for 1, 2 for 2..3, 3 for 4..7, ...
constexpr uint32_t bit_length(uint64_t x) {
    uint32_t bits = 0;
    while (x != 0) {
        ++bits;
        x >>= 1;
    }
    return bits;
}

// An entry of `width` bytes that keeps a small field in its top `high_bits` bits and a
// value in the remaining low bits: sbix entries (track index over sample size) and kyct
// entries (sync flag over composition offset).
class PackedEntryFormat {
public:
    PackedEntryFormat() = default;
    PackedEntryFormat(uint32_t width, uint32_t high_bits) : width_(width), high_bits_(high_bits) {}

    // A width of 1..8 bytes whose bits hold the high field.
    bool valid() const { return width_ >= 1 && width_ <= 8 && high_bits_ <= 8 * width_; }
    uint32_t width() const { return width_; }
    uint32_t high_bits() const { return high_bits_; }
    uint32_t low_bits() const { return 8 * width_ - high_bits_; }

    // False when either field does not fit its bits.
    bool fits(uint64_t high, uint64_t low) const;
    uint64_t pack(uint64_t high, uint64_t low) const;
    uint64_t high(uint64_t entry) const;
    uint64_t low(uint64_t entry) const;

private:
    uint32_t width_ = 1;
    uint32_t high_bits_ = 0;
};

// Bytes needed for an entry of `bits` bits.
constexpr uint32_t entry_width_for_bits(uint32_t bits) {
    return (bits + 7) / 8;
}

}  // namespace moovwright::layout
