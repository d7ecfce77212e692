#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <set>
#include <vector>

#include "cache/page_pool.h"
#include "loopback.h"

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

// A connected loopback TCP pair (both ends invalid when it could not be made).
struct tcp_pair {
    tcp_pair() {
        platform::testing::LoopbackPair pair = platform::testing::ConnectLoopbackPair();
        sender = std::move(pair.connected);
        receiver = std::move(pair.accepted);
    }
    // Up to `size` bytes, waiting at most five seconds for each piece.
    std::vector<std::uint8_t> receive(std::size_t size) const {
        std::vector<std::uint8_t> got;
        std::vector<std::uint8_t> chunk(size);
        while (got.size() < size) {
            pollfd ready{receiver.get(), POLLIN, 0};
            if (::poll(&ready, 1, 5000) != 1) {
                break;
            }
            const ssize_t n = ::recv(receiver.get(), chunk.data(), size - got.size(), 0);
            if (n <= 0) {
                break;
            }
            got.insert(got.end(), chunk.begin(), chunk.begin() + n);
        }
        return got;
    }
    platform::UniqueFd sender;
    platform::UniqueFd receiver;
};

TEST(PagePoolMemoryFile, PagesAreReadableAtTheirFileOffsets) {
    page_pool pool(page, block, 2 * block, true);
    if (pool.memory_file() < 0) {
        GTEST_SKIP() << "memfd is not available here";
    }
    std::vector<page_handle> held;
    std::set<std::uint64_t> offsets;
    while (page_handle p = pool.take()) {
        const std::uint64_t offset = pool.file_offset(p.get());
        EXPECT_EQ(offset % page, 0u);
        offsets.insert(offset);
        p.get()[page / 2] = static_cast<std::uint8_t>(offset / page + 1);
        std::uint8_t seen = 0;
        ASSERT_EQ(::pread(pool.memory_file(), &seen, 1, static_cast<off_t>(offset + page / 2)), 1);
        EXPECT_EQ(seen, p.get()[page / 2]);
        held.push_back(std::move(p));
    }
    EXPECT_EQ(held.size(), 8u);
    EXPECT_EQ(offsets.size(), held.size());
    EXPECT_EQ(*offsets.rbegin(), 7u * page);  // blocks follow each other in the file
}

// On loopback the receiving socket reads the sent pages themselves, long after sendfile
// returned and even after the acknowledgement: a reused page must not change them.
TEST(PagePoolMemoryFile, BytesSentFromAPageSurviveTheReuseOfItsSlot) {
    page_pool pool(page, block, block, true);
    if (pool.memory_file() < 0) {
        GTEST_SKIP() << "memfd is not available here";
    }
    tcp_pair connection;
    ASSERT_TRUE(connection.receiver);
    page_handle sent = pool.take();
    std::uint8_t* slot = sent.get();
    std::memset(slot, 0xA1, page);
    off_t offset = static_cast<off_t>(pool.file_offset(slot));
    ASSERT_EQ(::sendfile(connection.sender.get(), pool.memory_file(), &offset, page),
              static_cast<ssize_t>(page));
    sent.reset();

    page_handle reused = pool.take();
    ASSERT_EQ(reused.get(), slot);
    std::memset(reused.get(), 0x5B, page);

    const std::vector<std::uint8_t> received = connection.receive(page);
    ASSERT_EQ(received.size(), page);
    EXPECT_EQ(std::count(received.begin(), received.end(), 0xA1), static_cast<long>(page));
    EXPECT_EQ(reused.get()[page - 1], 0x5B);
}

}  // namespace
}  // namespace peerfeed
