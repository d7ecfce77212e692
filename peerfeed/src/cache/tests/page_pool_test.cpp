#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <vector>

#include "cache/page_pool.h"

namespace peerfeed {
namespace {

constexpr std::uint32_t page = 65536;
constexpr std::uint64_t block = 4 * page;

TEST(PagePoolBudget, AvailableMemoryLessReserveWithinBounds) {
    constexpr std::uint64_t mib = 1 << 20;
    EXPECT_EQ(page_pool_budget(1000 * mib, 300 * mib, 256 * mib, 1600 * mib), 700 * mib);
    EXPECT_EQ(page_pool_budget(400 * mib, 300 * mib, 256 * mib, 1600 * mib), 256 * mib);
    EXPECT_EQ(page_pool_budget(200 * mib, 300 * mib, 256 * mib, 1600 * mib), 256 * mib);
    EXPECT_EQ(page_pool_budget(64000 * mib, 300 * mib, 256 * mib, 1600 * mib), 1600 * mib);
    EXPECT_EQ(page_pool_budget(0, 0, 0, 0), 0u);
}

TEST(PagePool, GrowsBlockByBlockUpToTheBudget) {
    page_pool pool(page, block, 2 * block);
    EXPECT_EQ(pool.blocks(), 0u);  // nothing is mapped before it is needed
    std::vector<page_handle> held;
    while (page_handle p = pool.take()) {
        // Aligned for O_DIRECT and writable.
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p.get()) % 4096, 0u);
        p.get()[page - 1] = 7;
        held.push_back(std::move(p));
    }
    EXPECT_EQ(held.size(), 8u);
    EXPECT_EQ(pool.blocks(), 2u);
    EXPECT_FALSE(pool.has_free_or_can_grow());
    std::set<std::uint8_t*> distinct;
    for (const page_handle& p : held) {
        distinct.insert(p.get());
    }
    EXPECT_EQ(distinct.size(), held.size());
}

TEST(PagePool, BudgetBelowOneBlockStillMapsOneBlock) {
    page_pool pool(page, block, 1);
    std::vector<page_handle> held;
    while (page_handle p = pool.take()) {
        held.push_back(std::move(p));
    }
    EXPECT_EQ(held.size(), 4u);
}

TEST(PagePool, ZeroBudgetStillAllowsOneBlock) {
    page_pool pool(page, block, 0);
    EXPECT_NE(pool.take(), nullptr);
    EXPECT_EQ(pool.blocks(), 1u);
}

TEST(PagePool, ReleasedPageIsReusedLastFreedFirst) {
    page_pool pool(page, block, block);
    page_handle first = pool.take();
    page_handle second = pool.take();
    std::uint8_t* address = second.get();
    second.reset();
    EXPECT_EQ(pool.free_pages(), 3u);
    EXPECT_EQ(pool.take().get(), address);
}

TEST(PagePool, PageStaysValidAfterThePoolIsGone) {
    page_handle survivor;
    {
        page_pool pool(page, block, block);
        survivor = pool.take();
    }
    survivor.get()[0] = 1;
    survivor.get()[page - 1] = 2;
    EXPECT_EQ(survivor.get()[page - 1], 2);
}

TEST(PagePool, FailedMappingExhaustsThePool) {
    page_pool pool(page, block, 4 * block);
    pool.fail_next_growth_for_testing();
    EXPECT_EQ(pool.take(), nullptr);
    EXPECT_FALSE(pool.has_free_or_can_grow());
    EXPECT_EQ(pool.take(), nullptr);
}

}  // namespace
}  // namespace peerfeed
