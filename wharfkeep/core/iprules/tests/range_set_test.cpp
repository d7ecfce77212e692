// The merged range set against the row-by-row test it replaces.

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "wharfkeep/iprules/range_set.h"

namespace wharfkeep::iprules {
namespace {

// The reference: every row tested in turn, "first <= address <= last".
bool LinearContains(const std::vector<AddressRange>& rows, std::uint32_t address) {
    return std::any_of(rows.begin(), rows.end(),
                       [address](const AddressRange& row) { return row.Contains(address); });
}

TEST(MergeRanges, JoinsOverlappingAndAdjacentAndDropsReversed) {
    const std::vector<AddressRange> merged = MergeRanges({
        {20, 30},
        {0, 5},
        {6, 8},    // adjacent to 0-5
        {25, 40},  // overlaps 20-30
        {22, 23},  // inside
        {50, 40},  // reversed: holds nothing
        {0xFFFFFFF0u, 0xFFFFFFFFu},
        {0xFFFFFFFFu, 0xFFFFFFFFu},  // duplicate end of the space
        {42, 42},
    });
    EXPECT_EQ(merged,
              (std::vector<AddressRange>{{0, 8}, {20, 40}, {42, 42}, {0xFFFFFFF0u, 0xFFFFFFFFu}}));
    EXPECT_TRUE(MergeRanges({}).empty());
    EXPECT_EQ(MergeRanges({{0, 0xFFFFFFFFu}, {5, 6}}),
              (std::vector<AddressRange>{{0, 0xFFFFFFFFu}}));
}

TEST(RangeSet, BoundsInclusiveAtBothEndsOfTheSpace) {
    const RangeSet set(std::vector<AddressRange>{{0, 0}, {100, 200}, {0xFFFFFFFFu, 0xFFFFFFFFu}});
    EXPECT_EQ(set.size(), 3u);
    for (std::uint32_t inside : {0u, 100u, 150u, 200u, 0xFFFFFFFFu}) {
        EXPECT_TRUE(set.Contains(inside)) << inside;
    }
    for (std::uint32_t outside : {1u, 99u, 201u, 0xFFFFFFFEu}) {
        EXPECT_FALSE(set.Contains(outside)) << outside;
    }
    EXPECT_TRUE(set.Covers({120, 200}));
    EXPECT_FALSE(set.Covers({120, 201}));
    EXPECT_FALSE(set.Covers({1, 1}));
    EXPECT_FALSE(RangeSet().Contains(0));
}

// Random row lists (overlapping, reversed, clustered so that boundaries are hit) and random
// addresses, half of them at or next to a row's end: both tests must always agree.
TEST(RangeSet, AnswersExactlyAsTheRowByRowTest) {
    std::mt19937 random(20261209);
    for (int round = 0; round < 300; ++round) {
        // Small spans in some rounds, so that rows overlap and touch often.
        const std::uint32_t span = round % 3 == 0 ? 0xFFFFFFFFu : 4000u;
        std::uniform_int_distribution<std::uint32_t> address(0, span);
        std::uniform_int_distribution<int> count(0, 60);
        std::vector<AddressRange> rows(static_cast<std::size_t>(count(random)));
        for (AddressRange& row : rows) {
            row.first = address(random);
            // Mostly short rows, some reversed ones, now and then one to the end.
            const std::uint32_t length = random() % 4 == 0 ? random() % 50 : random() % 5;
            row.last = random() % 10 == 0 ? row.first - std::min(row.first, length)
                                          : row.first + std::min(0xFFFFFFFFu - row.first, length);
        }
        const RangeSet set(rows);
        std::vector<std::uint32_t> probes = {0, 1, 0xFFFFFFFEu, 0xFFFFFFFFu};
        for (const AddressRange& row : rows) {
            for (std::uint32_t at : {row.first, row.last}) {
                probes.push_back(at);
                probes.push_back(at - 1);
                probes.push_back(at + 1);
            }
        }
        for (int i = 0; i < 200; ++i) {
            probes.push_back(address(random));
        }
        for (std::uint32_t probe : probes) {
            ASSERT_EQ(set.Contains(probe), LinearContains(rows, probe))
                << "round " << round << " address " << probe;
        }
    }
}

}  // namespace
}  // namespace wharfkeep::iprules
