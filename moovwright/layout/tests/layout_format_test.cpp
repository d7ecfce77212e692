#include "layout_format.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace moovwright::layout
