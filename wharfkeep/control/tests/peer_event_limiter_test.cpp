// How peer session events are let through one by one or counted for the summary.

#include "../src/peer_event_limiter.h"

#include <gtest/gtest.h>

namespace wharfkeep::control {
namespace {

using namespace std::chrono_literals;

TEST(PeerEventLimiter, TheFirstOfEachSecondPassAndTheRestAreCountedByKind) {
    PeerEventLimiter limiter(3);
    const auto start = PeerEventLimiter::Clock::time_point{} + 10s;
    EXPECT_FALSE(limiter.TakeHeld()) << "nothing held, no summary";
    EXPECT_TRUE(limiter.Admit(true, start));
    EXPECT_TRUE(limiter.Admit(false, start + 100ms));
    EXPECT_TRUE(limiter.Admit(true, start + 200ms));
    EXPECT_FALSE(limiter.Admit(true, start + 300ms));
    EXPECT_FALSE(limiter.Admit(false, start + 400ms));
    EXPECT_FALSE(limiter.Admit(false, start + 999ms));
    // A new second lets the next few through again.
    EXPECT_TRUE(limiter.Admit(true, start + 1s));

    std::optional<PeerEventLimiter::Held> held = limiter.TakeHeld();
    ASSERT_TRUE(held);
    EXPECT_EQ(held->connected, 1u);
    EXPECT_EQ(held->left, 2u);
    EXPECT_FALSE(limiter.TakeHeld()) << "each held event is summed up once";
}

}  // namespace
}  // namespace wharfkeep::control
