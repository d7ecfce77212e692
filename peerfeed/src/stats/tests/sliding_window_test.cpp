#include <gtest/gtest.h>

#include "stats/sliding_window.h"

namespace peerfeed {
namespace {

constexpr std::uint64_t t0 = 1'000'000'000;  // any clock reading on a slot boundary

TEST(SpeedCalculator, CountsThePartlyFilledSecondAsAWholeSlot) {
    speed_calculator speed(t0);
    speed.add(3000, t0 + 10);
    EXPECT_EQ(speed.speed(t0 + 500), 3000u);
    // One second later, with nothing added: (3000 + 0) / 2.
    EXPECT_EQ(speed.speed(t0 + 1500), 1500u);
    EXPECT_EQ(speed.speed(t0 + 2500), 1000u);
    // The window holds three seconds: the 3000 bytes drop out of it.
    EXPECT_EQ(speed.speed(t0 + 3500), 0u);
}

TEST(SpeedCalculator, SumsTheLastThreeSeconds) {
    speed_calculator speed(t0);
    speed.add(100, t0);
    speed.add(200, t0 + 1000);
    speed.add(300, t0 + 2000);
    speed.add(400, t0 + 3000);
    EXPECT_EQ(speed.speed(t0 + 3999), (200u + 300u + 400u) / 3u);
}

TEST(SpeedCalculator, LongSilenceClearsEverySlotOfTheRing) {
    speed_calculator speed(t0);
    speed.add(1000, t0);
    speed.add(1000, t0 + 1000);
    speed.add(1000, t0 + 2000);
    // Far more than three slots later: nothing of the old counts may survive in the ring.
    speed.add(30, t0 + 100'000);
    EXPECT_EQ(speed.speed(t0 + 100'000), 10u);
}

TEST(SpeedCalculator, AnEarlierClockReadingChangesNothing) {
    speed_calculator speed(t0 + 5000);
    speed.add(600, t0 + 5000);
    speed.add(600, t0 + 1000);  // counted into the newest slot, never moves the window back
    EXPECT_EQ(speed.speed(t0 + 5000), 1200u);
}

TEST(PopularCalculator, CountsUsesWithinTheWindow) {
    constexpr std::uint32_t slot_ms = 30 * 60000;
    popular_calculator popularity(48, slot_ms, t0);
    popularity.count(t0);
    popularity.count(t0 + 1);
    popularity.count(t0 + slot_ms * 10ull);
    EXPECT_EQ(popularity.value(t0 + slot_ms * 10ull), 3u);
    EXPECT_EQ(popularity.last_value(), 3u);
    // Forty-eight slots after the first uses they have left the window.
    EXPECT_EQ(popularity.value(t0 + slot_ms * 48ull), 1u);
}

TEST(PopularCalculator, IsZeroAfterMoreThanTheWholeWindowWithoutUse) {
    popular_calculator popularity(4, 1000, t0);
    for (int i = 0; i < 10; ++i) {
        popularity.count(t0 + static_cast<std::uint64_t>(i) * 1000);
    }
    EXPECT_EQ(popularity.value(t0 + 9000), 4u);
    EXPECT_EQ(popularity.value(t0 + 9000 + 5 * 1000), 0u);
    EXPECT_EQ(popularity.last_value(), 0u);
}

TEST(PopularCalculator, ZeroParametersStillGiveAUsableCounter) {
    popular_calculator popularity(0, 0, t0);
    popularity.count(t0);
    EXPECT_EQ(popularity.value(t0), 1u);
}

}  // namespace
}  // namespace peerfeed
