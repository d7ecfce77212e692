#pragma once
// Binary form of the private index atoms of the streaming layout: zqhd (movie header of the
// index), zqtk (one per track), spix (segment table), spif (first sample of each segment per
// track), sbix (per-segment sample index, stored in front of the segment's samples) and kyct
// (per-segment sync flags and composition offsets of one track).
//
// Unlike the standard atoms, the payload integers of these atoms are little-endian. The
// functions here are pure functions of bytes: each decoder checks the length it is given
// and returns a result code, so they can be fed anything.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

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

// Little-endian integers of 1 to 8 bytes.
uint64_t load_le(const uint8_t* bytes, unsigned width);
void store_le(uint8_t* bytes, unsigned width, uint64_t value);
inline uint32_t load_le32(const uint8_t* bytes) {
    return static_cast<uint32_t>(load_le(bytes, 4));
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

inline constexpr std::array<uint8_t, 4> kSegmentIndexType{'s', 'b', 'i', 'x'};

struct ZqhdFields {
    uint32_t layout_flag = 0;      // 0 for every file this library writes
    uint32_t playing_seconds = 0;  // longest track, whole seconds
    uint32_t track_count = 0;
    uint32_t segment_count = 0;
    std::array<uint8_t, 4> index_type = kSegmentIndexType;
};
inline constexpr size_t kZqhdPayloadSize = 20;
void encode_zqhd(const ZqhdFields& fields, std::span<uint8_t, kZqhdPayloadSize> out);
uint32_t decode_zqhd(std::span<const uint8_t> payload, ZqhdFields& fields);

struct ZqtkFields {
    uint32_t track_index = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t sample_count = 0;
    std::array<uint8_t, 4> handler_type{};
    uint32_t timescale = 0;
    uint32_t sample_duration = 0;
    uint32_t kyct_width = 0;  // bytes per kyct entry; 0: the track has no kyct atoms
    uint32_t key_bits = 0;    // 1 when the track has a sync-sample table
};
inline constexpr size_t kZqtkPayloadSize = 36;
void encode_zqtk(const ZqtkFields& fields, std::span<uint8_t, kZqtkPayloadSize> out);
uint32_t decode_zqtk(std::span<const uint8_t> payload, ZqtkFields& fields);

struct SpixEntry {
    uint64_t sbix_offset = 0;  // absolute file offset of the segment's sbix atom
    uint32_t sbix_size = 0;
    bool operator==(const SpixEntry&) const = default;
};
struct SpixFields {
    uint32_t entry_width = 0;  // W: bytes per sbix entry
    uint32_t track_bits = 0;   // bits of the track index in each sbix entry
    std::vector<SpixEntry> entries;
};
inline constexpr size_t kSpixHeaderSize = 8;
inline constexpr size_t kSpixEntrySize = 12;
size_t spix_payload_size(size_t segment_count);
void encode_spix(const SpixFields& fields, std::span<uint8_t> out);
uint32_t decode_spix(std::span<const uint8_t> payload, SpixFields& fields);

// spif: per segment, the index of the track's first sample in it (stored twice).
inline constexpr size_t kSpifEntrySize = 8;
void encode_spif(std::span<const uint32_t> first_samples, std::span<uint8_t> out);
uint32_t decode_spif(std::span<const uint8_t> payload, std::vector<uint32_t>& first_samples);

struct SbixHeader {
    uint32_t segment_index = 0;
    uint64_t data_position = 0;  // offset of the segment's first sample byte
    uint32_t sample_count = 0;   // n: samples of all tracks in the segment
};
inline constexpr size_t kSbixHeaderSize = 16;
void encode_sbix_header(const SbixHeader& header, std::span<uint8_t, kSbixHeaderSize> out);
uint32_t decode_sbix_header(std::span<const uint8_t> payload, SbixHeader& header);

inline constexpr size_t kKyctHeaderSize = 4;

// Size of an atom with an 8-byte header and the given payload.
inline constexpr uint64_t kAtomHeaderSize = 8;

}  // namespace moovwright::layout
