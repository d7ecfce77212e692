// The upload server with its real block cache, driven by wkpeer's client over loopback
// TCP: whole downloads, budgets, closing files, read errors, statistics.

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <thread>

#include "end_to_end_fixture.h"
#include "wait_until.h"

namespace wkpeer::end_to_end {
namespace {

using namespace std::chrono_literals;

peerfeed_stat server_stat() {
    peerfeed_stat stat{};
    EXPECT_EQ(vp_get_server_stat(&stat), 0);
    return stat;
}

TEST_F(EndToEnd, SeveralSessionsDownloadWholeFilesByteForByte) {
    const std::uint64_t size = 3 * (1 << 20) + 12345;  // not a whole number of pages
    const std::string first = publish("first file.mp4", size, 1);
    const std::string second = publish("second%20'file'.mp4", 5 * page, 2);
    start();
    std::vector<std::future<swarm_report>> downloads;
    for (int i = 0; i < 4; ++i) {
        downloads.push_back(std::async(std::launch::async, [&, i] {
            return i == 3 ? download(second, 5 * page, home_ / "out3")
                          : download(first, size, home_ / ("out" + std::to_string(i)));
        }));
    }
    for (auto& d : downloads) {
        const swarm_report report = d.get();
        EXPECT_TRUE(report.ok) << report.error;
    }
    const std::string expected = read_file(home_ / "first file.mp4");
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(read_file(home_ / ("out" + std::to_string(i))) == expected) << i;
    }
    EXPECT_TRUE(read_file(home_ / "out3") == read_file(home_ / "second%20'file'.mp4"));
}

TEST_F(EndToEnd, AOneBlockBudgetStillServesWholeFiles) {
    std::ofstream(home_ / "Wharfkeep.ini")
        << "[vp]\nblock_size=131072\nminimum_mem_size=0\nmaximum_mem_size=1\n"
           "disk_read_buffer_size=65536\n";
    const std::uint64_t size = 2 * (1 << 20) + 77;
    const std::string gcid = publish("media", size, 3);
    start();
    auto a = std::async(std::launch::async, [&] { return download(gcid, size, home_ / "a"); });
    auto b = std::async(std::launch::async, [&] { return download(gcid, size, home_ / "b"); });
    const swarm_report ra = a.get(), rb = b.get();
    EXPECT_TRUE(ra.ok) << ra.error;
    EXPECT_TRUE(rb.ok) << rb.error;
    EXPECT_TRUE(read_file(home_ / "a") == read_file(home_ / "media"));
    EXPECT_TRUE(read_file(home_ / "b") == read_file(home_ / "media"));
}

// A peer that lets its answers sit in the socket while another peer's reads evict every
// page it was sent and fill their slots with other bytes, then reads them: each answer
// must carry the bytes of its file, whether pages are copied into the socket or sent from
// the page file.
TEST_F(EndToEnd, AnswersStillOnTheWireKeepTheirBytesWhilePagesAreReused) {
    std::ofstream(home_ / "Wharfkeep.ini")
        << "[vp]\nblock_size=131072\nminimum_mem_size=0\nmaximum_mem_size=1\n"
           "disk_read_buffer_size=65536\n";
    const std::uint64_t pages = 24;
    const std::string waiting = publish("waiting", pages * page, 21);
    const std::string pressing = publish("pressing", pages * page, 22);
    for (const char* zero_copy : {"0", "1"}) {
        SCOPED_TRACE(std::string("zero-copy send ") + zero_copy);
        ::setenv("WHARFKEEP_PEER_ZERO_COPY_SEND", zero_copy, 1);
        start();
        raw_peer slow(port_);
        ASSERT_TRUE(slow.handshake(waiting, pages * page, "slow"));
        const std::uint64_t sent_before = server_stat().total_bytes_sent;
        for (std::uint64_t index = 0; index < pages; ++index) {
            slow.ask(index * page, page);
        }
        // The first answers reach the slow socket: a page's worth has been sent.
        ASSERT_TRUE(platform::testing::WaitUntil(
            [&] { return server_stat().total_bytes_sent >= sent_before + page; }));
        const swarm_report pressed = download(pressing, pages * page, home_ / "pressed");
        EXPECT_TRUE(pressed.ok) << pressed.error;
        for (std::uint64_t index = 0; index < pages; ++index) {
            const auto data = slow.answer(index * page);
            ASSERT_TRUE(data.has_value()) << "page " << index;
            EXPECT_TRUE(*data == pattern(index * page, page, 21)) << "page " << index;
        }
        vp_stop();
    }
    ::unsetenv("WHARFKEEP_PEER_ZERO_COPY_SEND");
}

TEST_F(EndToEnd, ClosingAFileEndsOnlyTheSessionsReadingIt) {
    const std::string closed = publish("closed", 4 * page, 4);
    const std::string kept = publish("kept", 4 * page, 5);
    start();
    raw_peer reader(port_), bystander(port_);
    ASSERT_TRUE(reader.handshake(closed, 4 * page, "reader"));
    ASSERT_TRUE(bystander.handshake(kept, 4 * page, "bystander"));
    ASSERT_EQ(reader.fetch(0, page), pattern(0, page, 4));
    EXPECT_EQ(vp_close_file(closed.c_str()), 0);
    EXPECT_FALSE(reader.fetch(page, page));  // even the cached page is not served
    EXPECT_TRUE(reader.closed_by_server());
    EXPECT_EQ(bystander.fetch(page, 100), pattern(page, 100, 5));

    // The next session for the closed GCID asks the host again and is served.
    raw_peer again(port_);
    ASSERT_TRUE(again.handshake(closed, 4 * page, "again"));
    EXPECT_EQ(again.fetch(3 * page, page), pattern(3 * page, page, 4));
    EXPECT_EQ(vp_close_all_files(), 0);
    EXPECT_FALSE(bystander.fetch(0, 10));
}

TEST_F(EndToEnd, AReadErrorEndsOnlyThatSession) {
    const std::string gcid = publish("shrinking", 8 * page, 6);
    start();
    raw_peer victim(port_), other(port_);
    ASSERT_TRUE(victim.handshake(gcid, 8 * page, "victim"));
    ASSERT_TRUE(other.handshake(gcid, 8 * page, "other"));
    ASSERT_EQ(::truncate((home_ / "shrinking").c_str(), 2 * page), 0);
    EXPECT_FALSE(victim.fetch(5 * page, 10));
    EXPECT_TRUE(victim.closed_by_server());
    EXPECT_EQ(other.fetch(page, page), pattern(page, page, 6));
}

TEST_F(EndToEnd, APeerHangingUpMidAnswerEndsOnlyItsSession) {
    const std::string gcid = publish("big", 64 * page, 11);
    start();
    // Many peers leave at once while answers are still being written to them.
    std::vector<std::uint8_t> requests;
    for (std::uint64_t i = 0; i < 64; ++i) {
        append_request(requests, i * page, page);
    }
    for (int round = 0; round < 4; ++round) {
        std::vector<std::unique_ptr<raw_peer>> quitters;
        for (int i = 0; i < 40; ++i) {
            quitters.push_back(std::make_unique<raw_peer>(port_));
            ASSERT_TRUE(quitters.back()->handshake(gcid, 64 * page, "quitter"));
        }
        for (auto& quitter : quitters) {
            quitter->send(requests);
        }
        std::this_thread::sleep_for(
            std::chrono::milliseconds(2 * round + 1));  // a new moment each round
        quitters.clear();  // gone while the server is still writing the answers
    }
    // Every quitter's session has ended before the server is looked at.
    EXPECT_TRUE(platform::testing::WaitUntil([] { return server_stat().live_sessions == 0; }));
    EXPECT_EQ(vp_run_stat(), 1);
    raw_peer next(port_);
    ASSERT_TRUE(next.handshake(gcid, 64 * page, "next"));
    EXPECT_EQ(next.fetch(63 * page, 10), pattern(63 * page, 10, 11));
}

TEST_F(EndToEnd, PagePastFourGibibytesComesBackWithItsTrueBytes) {
    const fs::path path = home_ / "sparse";
    const std::uint64_t size = 5ull << 30;
    const std::uint64_t offset = (4ull << 30) + 7 * page + 3;
    {
        const int fd = ::open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
        ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(size)), 0);
        const auto high = pattern(offset, 40000, 7);
        ASSERT_EQ(::pwrite(fd, high.data(), high.size(), static_cast<off_t>(offset)), 40000);
        ::close(fd);
    }
    const std::string gcid = publish_path(path);
    start();
    raw_peer peer(port_);
    ASSERT_TRUE(peer.handshake(gcid, size, "sparse"));
    EXPECT_EQ(peer.fetch(offset, 40000), pattern(offset, 40000, 7));
    EXPECT_EQ(peer.fetch(size - 100, 100), std::vector<std::uint8_t>(100, 0));
}

TEST_F(EndToEnd, StatisticsAfterDownloadsAndAcrossARestart) {
    const std::uint64_t size = 10 * page;
    const std::string gcid = publish("stats", size, 8);
    start();
    peerfeed_stat before{};
    ASSERT_EQ(vp_get_server_stat(&before), 0);
    vp_cache_stat cache_before{};
    ASSERT_EQ(vp_get_cache_stat(&cache_before), 0);

    // Two downloads one after the other: ten misses, then ten hits.
    ASSERT_TRUE(download(gcid, size, home_ / "one").ok);
    ASSERT_TRUE(download(gcid, size, home_ / "two").ok);
    vp_cache_stat cache{};
    ASSERT_EQ(vp_get_cache_stat(&cache), 0);
    EXPECT_EQ(cache.hit_ratio, 50);
    EXPECT_EQ(cache.disk_bytes_read - cache_before.disk_bytes_read, size);
    vp_cache_counters counters{};
    ASSERT_EQ(vp_get_cache_counters(&counters), 0);
    EXPECT_EQ(counters.page_hits, 10u);
    EXPECT_EQ(counters.page_misses, 10u);
    EXPECT_GE(counters.cached_bytes, size);  // the ten pages stay in memory
    EXPECT_GE(counters.budget_bytes, counters.cached_bytes);
    EXPECT_EQ(vp_get_cache_counters(nullptr), 1);

    // Each session sent HANDSHAKERESP, INTERESTEDRESP (one range of 5 bytes) and ten
    // REQUESTRESPs of one page each.
    const std::uint64_t per_session = (21 + 55) + (21 + 10) + 10 * (21 + 38) + size;
    auto sent_since = [&] {
        peerfeed_stat now{};
        EXPECT_EQ(vp_get_server_stat(&now), 0);
        return now.total_bytes_sent - before.total_bytes_sent;
    };
    const auto deadline = std::chrono::steady_clock::now() + 3s;
    while (sent_since() < 2 * per_session && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_EQ(sent_since(), 2 * per_session);

    vp_stop();
    start();
    EXPECT_EQ(sent_since(), 2 * per_session);  // totals survive a restart

    // Two live sessions on the file and one that has not shaken hands.
    raw_peer first(port_), second(port_), silent(port_);
    ASSERT_TRUE(first.handshake(gcid, size, "first-peer-id-0123456789"));
    ASSERT_TRUE(second.handshake(gcid, size, "second"));
    ASSERT_TRUE(first.fetch(0, 1000));
    // The server paces accepting, so the silent connection may still be on its way in.
    peerfeed_stat stat{};
    for (int i = 0; i < 300 && stat.live_sessions < 3; ++i) {
        ASSERT_EQ(vp_get_server_stat(&stat), 0);
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(stat.live_sessions, 3u);
    EXPECT_EQ(stat.resource_count, 1u);

    resource_stat_list* resources = vp_get_resource_stat_list();
    ASSERT_NE(resources, nullptr);
    ASSERT_EQ(resources->count, 1u);
    EXPECT_EQ(std::string(resources->entries[0].gcid, 40), gcid);
    EXPECT_EQ(resources->entries[0].sessions, 2u);
    EXPECT_GE(resources->entries[0].bytes_sent, 2 * per_session + 1000);
    vp_free_resource_stat_list(resources);

    vp_connection_list* connections = vp_get_connection_list(gcid.c_str());
    ASSERT_NE(connections, nullptr);
    ASSERT_EQ(connections->count, 2u);
    std::vector<std::string> ids;
    for (std::uint32_t i = 0; i < connections->count; ++i) {
        const vp_connection& c = connections->entries[i];
        EXPECT_EQ(std::string(c.gcid, 40), gcid);
        EXPECT_EQ(c.address.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
        ids.emplace_back(reinterpret_cast<const char*>(c.peer_id), 16);
    }
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(ids[0], "first-peer-id-01");
    EXPECT_EQ(ids[1], std::string("second") + std::string(10, '\0'));
    vp_free_connection_list(connections);

    vp_connection_list* unshaken = vp_get_connection_list("");
    ASSERT_NE(unshaken, nullptr);
    EXPECT_EQ(unshaken->count, 1u);
    vp_free_connection_list(unshaken);
}

}  // namespace
}  // namespace wkpeer::end_to_end
