#include "stats/histogram.h"

#include <gtest/gtest.h>

namespace peerfeed {
namespace {

TEST(Histogram, ValuesLandInTheFirstBucketThatHoldsThemAndCountsAreCumulative) {
    histogram sizes{10, 100, 1000};
    for (std::uint64_t value : {0u, 10u, 11u, 100u, 999u, 1000u, 1001u, 50000u}) {
        sizes.observe(value);
    }
    const vp_histogram taken = sizes.snapshot(1.0);
    ASSERT_EQ(taken.bound_count, 3u);
    EXPECT_EQ(taken.upper_bounds[0], 10.0);
    EXPECT_EQ(taken.cumulative_counts[0], 2u);  // 0 and 10: a bound holds its own value
    EXPECT_EQ(taken.cumulative_counts[1], 4u);
    EXPECT_EQ(taken.cumulative_counts[2], 6u);
    EXPECT_EQ(taken.count, 8u) << "those above every bound count only in the total";
    EXPECT_EQ(taken.sum, 0.0 + 10 + 11 + 100 + 999 + 1000 + 1001 + 50000);
}

TEST(Histogram, TheSnapshotDividesBoundsAndSumIntoTheUnitAsked) {
    histogram waits{1000, 1000000};
    waits.observe(2500);
    const vp_histogram taken = waits.snapshot(1e6);
    EXPECT_DOUBLE_EQ(taken.upper_bounds[0], 0.001);
    EXPECT_DOUBLE_EQ(taken.upper_bounds[1], 1.0);
    EXPECT_EQ(taken.cumulative_counts[0], 0u);
    EXPECT_EQ(taken.cumulative_counts[1], 1u);
    EXPECT_DOUBLE_EQ(taken.sum, 0.0025);
}

}  // namespace
}  // namespace peerfeed
