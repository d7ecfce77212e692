#include "layout_format.h"

#include <gtest/gtest.h>
#include <moovwright/moovwright.h>

#include <vector>

namespace moovwright::layout {
namespace {

TEST(BitLength, CountsTheHighestSetBit) {
    EXPECT_EQ(bit_length(0), 0u);
    EXPECT_EQ(bit_length(1), 1u);
    EXPECT_EQ(bit_length(2), 2u);
    EXPECT_EQ(bit_length(3), 2u);
    EXPECT_EQ(bit_length(4), 3u);
    EXPECT_EQ(bit_length(7), 3u);
    EXPECT_EQ(bit_length(0xFFFFFFFFu), 32u);
    EXPECT_EQ(bit_length(~uint64_t{0}), 64u);
}

TEST(PackedEntryFormat, SyncFlagSitsAboveTheOffset) {
    // One key bit and no composition offsets: sync samples are 0x80, others 0x00.
    const PackedEntryFormat kyct(entry_width_for_bits(1 + 0), 1);
    EXPECT_EQ(kyct.width(), 1u);
    EXPECT_EQ(kyct.pack(1, 0), 0x80u);
    EXPECT_EQ(kyct.pack(0, 0), 0x00u);
    // Key bit plus three offset bits still fits one byte.
    const PackedEntryFormat with_offsets(entry_width_for_bits(1 + 3), 1);
    EXPECT_EQ(with_offsets.pack(1, 5), 0x85u);
    EXPECT_EQ(with_offsets.high(0x85), 1u);
    EXPECT_EQ(with_offsets.low(0x85), 5u);
}

TEST(PackedEntryFormat, SingleTrackEntriesHoldOnlyTheSize) {
    const PackedEntryFormat sbix(entry_width_for_bits(0 + 17), 0);
    EXPECT_EQ(sbix.width(), 3u);
    EXPECT_EQ(sbix.pack(0, 100000), 100000u);
    EXPECT_EQ(sbix.high(100000), 0u);
    EXPECT_EQ(sbix.low(100000), 100000u);
}

TEST(PackedEntryFormat, TrackIndexTakesTheTopBits) {
    const PackedEntryFormat sbix(entry_width_for_bits(1 + 16), 1);  // 3 bytes, 23 size bits
    const uint64_t entry = sbix.pack(1, 65535);
    EXPECT_EQ(entry, (uint64_t{1} << 23) | 65535);
    EXPECT_EQ(sbix.high(entry), 1u);
    EXPECT_EQ(sbix.low(entry), 65535u);
    EXPECT_TRUE(sbix.fits(1, (1u << 23) - 1));
    EXPECT_FALSE(sbix.fits(2, 0));
    EXPECT_FALSE(sbix.fits(0, 1u << 23));
}

TEST(PackedEntryFormat, FullWidthEntriesDoNotOverflowTheShift) {
    const PackedEntryFormat wide(8, 0);
    EXPECT_TRUE(wide.valid());
    EXPECT_EQ(wide.pack(0, ~uint64_t{0}), ~uint64_t{0});
    EXPECT_EQ(wide.high(~uint64_t{0}), 0u);
    const PackedEntryFormat all_high(1, 8);
    EXPECT_EQ(all_high.pack(0xAB, 0), 0xABu);
    EXPECT_EQ(all_high.high(0xAB), 0xABu);
    EXPECT_FALSE(PackedEntryFormat(9, 0).valid());
    EXPECT_FALSE(PackedEntryFormat(0, 0).valid());
    EXPECT_FALSE(PackedEntryFormat(1, 9).valid());
}

TEST(LittleEndian, OddWidthsRoundTrip) {
    uint8_t bytes[8] = {};
    store_le(bytes, 3, 0x123456);
    EXPECT_EQ(bytes[0], 0x56);
    EXPECT_EQ(bytes[1], 0x34);
    EXPECT_EQ(bytes[2], 0x12);
    EXPECT_EQ(bytes[3], 0x00);
    EXPECT_EQ(load_le(bytes, 3), 0x123456u);
    store_le(bytes, 8, 0x0102030405060708ull);
    EXPECT_EQ(bytes[0], 0x08);
    EXPECT_EQ(load_le(bytes, 8), 0x0102030405060708ull);
}

TEST(PrivateAtoms, ZqhdAndZqtkRoundTripLittleEndian) {
    ZqhdFields header{0, 125, 2, 31, kSegmentIndexType};
    std::array<uint8_t, kZqhdPayloadSize> bytes{};
    encode_zqhd(header, bytes);
    EXPECT_EQ(bytes[4], 125);
    EXPECT_EQ(bytes[8], 2);
    EXPECT_EQ(bytes[12], 31);
    EXPECT_EQ(std::string(bytes.begin() + 16, bytes.end()), "sbix");
    ZqhdFields back;
    ASSERT_EQ(decode_zqhd(bytes, back), MW_OK);
    EXPECT_EQ(back.playing_seconds, 125u);
    EXPECT_EQ(back.segment_count, 31u);
    EXPECT_EQ(decode_zqhd(std::span(bytes).first(19), back), MW_NOT_ENOUGH_DATA);

    ZqtkFields track{1, 640, 360, 3000, {'v', 'i', 'd', 'e'}, 12800, 512, 1, 1};
    std::array<uint8_t, kZqtkPayloadSize> track_bytes{};
    encode_zqtk(track, track_bytes);
    EXPECT_EQ(track_bytes[4], 0x80);  // 640 = 0x280, low byte first
    EXPECT_EQ(track_bytes[5], 0x02);
    ZqtkFields track_back;
    ASSERT_EQ(decode_zqtk(track_bytes, track_back), MW_OK);
    EXPECT_EQ(track_back.sample_count, 3000u);
    EXPECT_EQ(track_back.handler_type, track.handler_type);
    EXPECT_EQ(track_back.sample_duration, 512u);
    EXPECT_EQ(track_back.key_bits, 1u);
    EXPECT_EQ(decode_zqtk(std::span(track_bytes).first(35), track_back), MW_NOT_ENOUGH_DATA);
}

TEST(PrivateAtoms, SegmentTablesRoundTrip) {
    SpixFields spix{3, 1, {{0x1'0000'0010ull, 1234}, {5000, 77}}};
    std::vector<uint8_t> bytes(spix_payload_size(spix.entries.size()));
    ASSERT_EQ(bytes.size(), 8u + 24u);
    encode_spix(spix, bytes);
    SpixFields back;
    ASSERT_EQ(decode_spix(bytes, back), MW_OK);
    EXPECT_EQ(back.entry_width, 3u);
    EXPECT_EQ(back.track_bits, 1u);
    EXPECT_EQ(back.entries, spix.entries);
    // A trailing partial entry is not an entry.
    bytes.push_back(0);
    ASSERT_EQ(decode_spix(bytes, back), MW_OK);
    EXPECT_EQ(back.entries.size(), 2u);
    EXPECT_EQ(decode_spix(std::span(bytes).first(7), back), MW_NOT_ENOUGH_DATA);

    const std::vector<uint32_t> firsts{0, 12, 24};
    std::vector<uint8_t> spif(firsts.size() * kSpifEntrySize);
    encode_spif(firsts, spif);
    EXPECT_EQ(load_le32(&spif[8]), 12u);
    EXPECT_EQ(load_le32(&spif[12]), 12u);  // stored twice
    std::vector<uint32_t> firsts_back;
    ASSERT_EQ(decode_spif(spif, firsts_back), MW_OK);
    EXPECT_EQ(firsts_back, firsts);

    SbixHeader sbix{7, 0x2'0000'0000ull, 42};
    std::array<uint8_t, kSbixHeaderSize> sbix_bytes{};
    encode_sbix_header(sbix, sbix_bytes);
    SbixHeader sbix_back;
    ASSERT_EQ(decode_sbix_header(sbix_bytes, sbix_back), MW_OK);
    EXPECT_EQ(sbix_back.segment_index, 7u);
    EXPECT_EQ(sbix_back.data_position, 0x2'0000'0000ull);
    EXPECT_EQ(sbix_back.sample_count, 42u);
}

}  // namespace
}  // namespace moovwright::layout
