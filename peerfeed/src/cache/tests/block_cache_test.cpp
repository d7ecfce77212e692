#include "cache/block_cache.h"

#include <event2/buffer.h>

#include <event2/event.h>
#include <event2/thread.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <thread>

#include "cache/page_response.h"
#include "cache_test_support.h"
#include "file_text.h"
#include "peerfeed/codec/commands.h"

namespace peerfeed {
namespace {

using platform::testing::file_text;

constexpr std::uint32_t page = 65536;

// Records every completion; the bytes are copied out during the call, as sessions must.
class recording_session : public vp_data_handler {
public:
    struct completion {
        bool failed = false;
        std::vector<std::uint8_t> data;
    };

    std::uint32_t read(block_cache& cache, file_link& link, std::uint64_t offset,
                       std::uint32_t length) {
        const std::uint32_t id = cache.submit(*this, link, offset, length);
        lengths[id] = length;
        return id;
    }

    void on_read_complete(std::uint32_t id, std::shared_ptr<const read_bytes> bytes) override {
        completion& c = done[id];
        c.failed = !bytes;
        if (bytes) {
            EXPECT_EQ(bytes->size(), lengths.at(id));
            c.data = bytes->copy();
        }
    }

    std::map<std::uint32_t, std::uint32_t> lengths;
    std::map<std::uint32_t, completion> done;
};

// Keeps the pages it is given instead of copying them.
class page_keeping_session : public vp_data_handler {
public:
    void on_read_complete(std::uint32_t id, std::shared_ptr<const read_bytes> bytes) override {
        failures[id] = !bytes;
        if (bytes) {
            kept[id] = std::move(bytes);
        }
    }
    std::map<std::uint32_t, bool> failures;
    std::map<std::uint32_t, std::shared_ptr<const read_bytes>> kept;
};

cache_settings small_settings() {
    cache_settings s;
    s.block_size = 16 * page;
    s.minimum_mem_size = 0;
    s.maximum_mem_size = 64 * page;
    s.reserved_mem_size = 0;
    return s;
}

class cache_harness {
public:
    explicit cache_harness(cache_settings settings = small_settings(),
                           std::uint64_t available_memory = 1ull << 40) {
        evthread_use_pthreads();
        base_ = event_base_new();
        cache.start(
            base_, settings,
            [this](const std::string& gcid, std::string& path) {
                ++resolver_calls;
                auto found = paths.find(gcid);
                if (found == paths.end()) {
                    return false;
                }
                path = found->second;
                return true;
            },
            available_memory);
    }
    ~cache_harness() {
        cache.stop();
        event_base_free(base_);
    }

    // Runs the loop until `done` holds; fails the test after ten seconds.
    void run_until(const std::function<bool()>& done) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!done()) {
            event_base_loop(base_, EVLOOP_NONBLOCK);
            if (std::chrono::steady_clock::now() > deadline) {
                ADD_FAILURE() << "timed out waiting for the cache";
                return;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }
    void run_for(std::chrono::milliseconds duration) {
        const auto until = std::chrono::steady_clock::now() + duration;
        while (std::chrono::steady_clock::now() < until) {
            event_base_loop(base_, EVLOOP_NONBLOCK);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }
    void wait_for(recording_session& session, std::size_t count) {
        run_until([&] { return session.done.size() >= count; });
    }

    std::string publish(const std::filesystem::path& path) {
        std::string gcid = std::string(39, '0') + std::to_string(paths.size() + 1);
        gcid = gcid.substr(gcid.size() - 40);
        paths[gcid] = path.string();
        return gcid;
    }
    // Publishes a new pattern file "f" of `size` bytes in the home folder.
    std::string publish_pattern_file(std::uint64_t size) {
        return publish(testing::write_pattern_file(home.path() / "f", size));
    }

    testing::temp_folder home;
    std::map<std::string, std::string> paths;
    int resolver_calls = 0;
    block_cache cache;

private:
    event_base* base_ = nullptr;
};

std::vector<std::uint8_t> expected(std::uint64_t offset, std::uint32_t length) {
    return testing::pattern_bytes(offset, length);
}

TEST(BlockCache, ReadsComeBackWithTheFileBytes) {
    cache_harness h;
    const std::uint64_t size = 3 * page + 1234;
    const auto gcid = h.publish(testing::write_pattern_file(h.home.path() / "a b'c%d.mp4", size));
    recording_session session;
    file_link* link = h.cache.open(session, gcid, size);
    ASSERT_NE(link, nullptr);
    const std::vector<std::pair<std::uint64_t, std::uint32_t>> reads = {
        {0, page}, {100, page}, {page - 1, 2}, {3 * page, 1234}, {size - 1, 1}, {2 * page + 7, 9}};
    std::vector<std::uint32_t> ids;
    for (const auto& [offset, length] : reads) {
        ids.push_back(session.read(h.cache, *link, offset, length));
    }
    h.wait_for(session, reads.size());
    for (std::size_t i = 0; i < reads.size(); ++i) {
        const auto& c = session.done.at(ids[i]);
        ASSERT_FALSE(c.failed) << i;
        EXPECT_EQ(c.data, expected(reads[i].first, reads[i].second)) << i;
    }
    h.cache.release(link);
}

TEST(BlockCache, ReadTouchesOnlyThePagesItCovers) {
    for (const auto& [length, pages] : {std::pair{1u, 1u}, std::pair{2u, 2u}}) {
        cache_harness h;
        const auto gcid = h.publish_pattern_file(4 * page);
        recording_session session;
        file_link* link = h.cache.open(session, gcid, 4 * page);
        ASSERT_NE(link, nullptr);
        session.read(h.cache, *link, 65535, length);
        h.wait_for(session, 1);
        EXPECT_EQ(h.cache.disk_reads(), pages);
        EXPECT_EQ(h.cache.statistics().page_misses, pages);
        h.cache.release(link);
    }
}

TEST(BlockCache, TwoSessionsOnALoadingPageCauseOneDiskRead) {
    cache_harness h;
    const auto gcid = h.publish_pattern_file(2 * page);
    recording_session first, second;
    file_link* a = h.cache.open(first, gcid, 2 * page);
    file_link* b = h.cache.open(second, gcid, 2 * page);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    first.read(h.cache, *a, 10, 100);
    second.read(h.cache, *b, 20, 100);
    h.wait_for(first, 1);
    h.wait_for(second, 1);
    EXPECT_EQ(h.cache.disk_reads(), 1u);
    EXPECT_EQ(first.done.begin()->second.data, expected(10, 100));
    EXPECT_EQ(second.done.begin()->second.data, expected(20, 100));
    block_cache_statistics s = h.cache.statistics();
    EXPECT_EQ(s.page_hits, 0u);
    EXPECT_EQ(s.page_misses, 2u);
    // The page is now loaded: a third read is a hit without touching the disk.
    first.read(h.cache, *a, 0, page);
    h.wait_for(first, 2);
    s = h.cache.statistics();
    EXPECT_EQ(s.page_hits, 1u);
    EXPECT_EQ(h.cache.disk_reads(), 1u);
    EXPECT_GE(s.disk_bytes_read, std::uint64_t{page});
    h.cache.release(a);
    h.cache.release(b);
}

TEST(BlockCache, OpenFailsForUnknownMissingEmptyOrWrongSize) {
    cache_harness h;
    recording_session session;
    EXPECT_EQ(h.cache.open(session, std::string(40, 'A'), 10), nullptr);  // host says no
    const auto missing = h.publish(h.home.path() / "missing");
    EXPECT_EQ(h.cache.open(session, missing, 10), nullptr);
    std::ofstream(h.home.path() / "empty").close();
    const auto empty = h.publish(h.home.path() / "empty");
    EXPECT_EQ(h.cache.open(session, empty, 0), nullptr);
    const auto real = h.publish(testing::write_pattern_file(h.home.path() / "r", 1000));
    EXPECT_EQ(h.cache.open(session, real, 999), nullptr);
    file_link* link = h.cache.open(session, real, 1000);
    ASSERT_NE(link, nullptr);
    h.cache.release(link);
}

TEST(BlockCache, ReopenAfterLastReleaseDoesNotAskTheHostAgain) {
    cache_harness h;
    const auto gcid = h.publish_pattern_file(1000);
    recording_session session;
    file_link* link = h.cache.open(session, gcid, 1000);
    ASSERT_NE(link, nullptr);
    h.cache.release(link);
    link = h.cache.open(session, gcid, 1000);
    ASSERT_NE(link, nullptr);
    EXPECT_EQ(h.resolver_calls, 1);
    h.cache.release(link);
}

TEST(BlockCache, FileReplacedWhileClosedIsServedAfresh) {
    cache_harness h;
    const auto path = h.home.path() / "f";
    const auto gcid = h.publish(testing::write_pattern_file(path, 2 * page));
    recording_session session;
    file_link* link = h.cache.open(session, gcid, 2 * page);
    session.read(h.cache, *link, 0, 100);
    h.wait_for(session, 1);
    h.cache.release(link);
    // Rewritten with another size while nobody had it open: the cached page is stale.
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << std::string(page + 1, 'z');
    }
    EXPECT_EQ(h.cache.open(session, gcid, 2 * page), nullptr);
    link = h.cache.open(session, gcid, page + 1);
    ASSERT_NE(link, nullptr);
    const std::uint32_t id = session.read(h.cache, *link, 0, 100);
    h.wait_for(session, 2);
    EXPECT_EQ(session.done.at(id).data, std::vector<std::uint8_t>(100, 'z'));
    h.cache.release(link);
}

TEST(BlockCache, ClosedFileFailsLaterReadsAndIsAskedForAgain) {
    cache_harness h;
    const auto gcid = h.publish_pattern_file(2 * page);
    const auto other = h.publish(testing::write_pattern_file(h.home.path() / "g", 2 * page));
    recording_session session, bystander;
    file_link* link = h.cache.open(session, gcid, 2 * page);
    file_link* other_link = h.cache.open(bystander, other, 2 * page);
    ASSERT_NE(link, nullptr);
    ASSERT_NE(other_link, nullptr);
    session.read(h.cache, *link, 0, 10);
    h.wait_for(session, 1);
    EXPECT_EQ(h.cache.open_files(), 2u);

    h.cache.close_file(gcid);
    EXPECT_EQ(h.cache.open_files(), 1u);
    // Even a page that is cached is not served from a closed file.
    const std::uint32_t after_close = session.read(h.cache, *link, 0, 10);
    bystander.read(h.cache, *other_link, 0, 10);
    h.wait_for(session, 2);
    h.wait_for(bystander, 1);
    EXPECT_TRUE(session.done.at(after_close).failed);
    EXPECT_FALSE(bystander.done.begin()->second.failed);

    file_link* again = h.cache.open(session, gcid, 2 * page);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(h.resolver_calls, 3);
    h.cache.release(link);
    h.cache.release(again);

    h.cache.close_all_files();
    EXPECT_EQ(h.cache.open_files(), 0u);
    h.cache.release(other_link);
}

TEST(BlockCache, ReadErrorFailsTheRequestAndALaterRequestRetriesThePage) {
    cache_harness h;
    const auto path = testing::write_pattern_file(h.home.path() / "f", 3 * page);
    const auto gcid = h.publish(path);
    recording_session session;
    file_link* link = h.cache.open(session, gcid, 3 * page);
    ASSERT_NE(link, nullptr);
    ASSERT_EQ(::truncate(path.c_str(), page + 10), 0);
    const std::uint32_t beyond = session.read(h.cache, *link, 2 * page, 100);
    // Page 1 now holds 10 bytes only: asking for more than that fails, not stale bytes.
    const std::uint32_t short_page = session.read(h.cache, *link, page, 100);
    const std::uint32_t fine = session.read(h.cache, *link, page, 10);
    h.wait_for(session, 3);
    EXPECT_TRUE(session.done.at(beyond).failed);
    EXPECT_TRUE(session.done.at(short_page).failed);
    EXPECT_FALSE(session.done.at(fine).failed);
    EXPECT_EQ(session.done.at(fine).data, expected(page, 10));

    // The failed page is read again by the next request that needs it.
    testing::write_pattern_file(path, 3 * page);
    const std::uint64_t reads_before = h.cache.disk_reads();
    const std::uint32_t retried = session.read(h.cache, *link, 2 * page, 100);
    h.wait_for(session, 4);
    EXPECT_FALSE(session.done.at(retried).failed);
    EXPECT_EQ(session.done.at(retried).data, expected(2 * page, 100));
    EXPECT_EQ(h.cache.disk_reads(), reads_before + 1);
    h.cache.release(link);
}

TEST(BlockCache, ReadsOutsideTheFileFail) {
    cache_harness h;
    const auto gcid = h.publish_pattern_file(1000);
    recording_session session;
    file_link* link = h.cache.open(session, gcid, 1000);
    ASSERT_NE(link, nullptr);
    const std::uint32_t past = session.read(h.cache, *link, 1000, 1);
    const std::uint32_t across = session.read(h.cache, *link, 999, 2);
    const std::uint32_t empty = session.read(h.cache, *link, 0, 0);
    const std::uint32_t huge = session.read(h.cache, *link, ~std::uint64_t{0} - 5, 10);
    h.wait_for(session, 4);
    for (std::uint32_t id : {past, across, empty, huge}) {
        EXPECT_TRUE(session.done.at(id).failed) << id;
    }
    h.cache.release(link);
}

TEST(BlockCache, CompletionsStopOnceTheLinkIsReleased) {
    cache_harness h;
    const auto gcid = h.publish_pattern_file(4 * page);
    recording_session gone, stays;
    file_link* a = h.cache.open(gone, gcid, 4 * page);
    file_link* b = h.cache.open(stays, gcid, 4 * page);
    for (int i = 0; i < 4; ++i) {
        gone.read(h.cache, *a, std::uint64_t(i) * page, page);
    }
    h.cache.release(a);
    stays.read(h.cache, *b, 3 * page, page);
    h.wait_for(stays, 1);
    // The released link's reads were asked for first; a completion for them would follow
    // within a few turns of the loop. Nothing marks that none will come.
    h.run_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(gone.done.empty());
    h.cache.release(b);
}

TEST(BlockCache, WithABudgetOfOneBlockRequestsWaitAndThenComplete) {
    cache_settings s = small_settings();
    s.block_size = 2 * page;  // two pages in all
    s.maximum_mem_size = 1;
    s.disk_read_buffer_size = page;
    cache_harness h(s);
    const std::uint64_t size = 12 * page;
    const auto gcid = h.publish_pattern_file(size);
    recording_session sessions[3];
    file_link* links[3];
    for (int i = 0; i < 3; ++i) {
        links[i] = h.cache.open(sessions[i], gcid, size);
        ASSERT_NE(links[i], nullptr);
    }
    // More pages wanted at once than the pool holds; some reads straddle two pages.
    std::map<std::pair<int, std::uint32_t>, std::uint64_t> offsets;
    for (int round = 0; round < 8; ++round) {
        for (int i = 0; i < 3; ++i) {
            const std::uint64_t offset = (std::uint64_t(round * 3 + i) * 40000) % (size - page);
            offsets[{i, sessions[i].read(h.cache, *links[i], offset, page)}] = offset;
        }
    }
    for (auto& session : sessions) {
        h.wait_for(session, 8);
    }
    for (const auto& [key, offset] : offsets) {
        const auto& c = sessions[key.first].done.at(key.second);
        ASSERT_FALSE(c.failed);
        EXPECT_EQ(c.data, expected(offset, page));
    }
    EXPECT_EQ(h.cache.mapped_bytes(), 2u * page);
    for (int i = 0; i < 3; ++i) {
        h.cache.release(links[i]);
    }
}

TEST(BlockCache, EvictionKeepsThePopularPages) {
    cache_settings s = small_settings();
    s.block_size = 3 * page;
    s.maximum_mem_size = 1;
    s.disk_read_buffer_size = page;  // one page freed per round
    cache_harness h(s);
    const auto gcid = h.publish_pattern_file(8 * page);
    recording_session session;
    file_link* link = h.cache.open(session, gcid, 8 * page);
    std::size_t count = 0;
    auto read = [&](std::uint64_t index) {
        session.read(h.cache, *link, index * page, 100);
        h.wait_for(session, ++count);
    };
    for (int i = 0; i < 3; ++i) {
        read(0);  // page 0 is the popular one
    }
    read(1);
    read(2);
    read(3);  // evicts page 1: as unpopular as 2, used longer ago
    read(4);  // evicts page 2
    const std::uint64_t reads = h.cache.disk_reads();
    EXPECT_EQ(reads, 5u);
    read(0);
    EXPECT_EQ(h.cache.disk_reads(), reads);  // still cached
    read(1);
    EXPECT_EQ(h.cache.disk_reads(), reads + 1);
    h.cache.release(link);
}

TEST(BlockCache, PagePastFourGibibytesOfASparseFileIsReadFromItsTrueOffset) {
    cache_harness h;
    const auto path = h.home.path() / "sparse.mp4";
    const std::uint64_t size = 5ull << 30;
    const std::uint64_t offset = (4ull << 30) + 3 * page + 100;
    {
        const int fd = ::open(path.c_str(), O_CREAT | O_WRONLY, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(size)), 0);
        const auto high = expected(offset, 5000);
        ASSERT_EQ(::pwrite(fd, high.data(), high.size(), static_cast<off_t>(offset)), 5000);
        // The same offset less 4 GiB holds other bytes: a wrapped offset would read them.
        const auto low = std::vector<std::uint8_t>(5000, 0xEE);
        ASSERT_EQ(::pwrite(fd, low.data(), low.size(), static_cast<off_t>(offset - (4ull << 30))),
                  5000);
        ::close(fd);
    }
    const auto gcid = h.publish(path);
    recording_session session;
    file_link* link = h.cache.open(session, gcid, size);
    ASSERT_NE(link, nullptr);
    const std::uint32_t high = session.read(h.cache, *link, offset, 5000);
    const std::uint32_t tail = session.read(h.cache, *link, size - 10, 10);
    h.wait_for(session, 2);
    EXPECT_EQ(session.done.at(high).data, expected(offset, 5000));
    EXPECT_EQ(session.done.at(tail).data, std::vector<std::uint8_t>(10, 0));
    h.cache.release(link);
}

TEST(BlockCache, PagesHandedByReferenceOutliveTheCache) {
    auto h = std::make_unique<cache_harness>();
    const auto gcid = h->publish(testing::write_pattern_file(h->home.path() / "f", 2 * page));
    page_keeping_session session;
    file_link* link = h->cache.open(session, gcid, 2 * page);
    const std::uint32_t single = h->cache.submit(session, *link, 5, 1000);
    const std::uint32_t across = h->cache.submit(session, *link, page - 10, 20);
    h->run_until([&] { return session.kept.size() == 2; });
    h->cache.release(link);
    std::shared_ptr<const read_bytes> one = session.kept.at(single);
    std::shared_ptr<const read_bytes> two = session.kept.at(across);
    h.reset();  // the cache stops and its pool goes
    ASSERT_EQ(one->slices().size(), 1u);
    EXPECT_EQ(std::vector<std::uint8_t>(one->slices()[0].data, one->slices()[0].data + 1000),
              expected(5, 1000));
    ASSERT_EQ(two->slices().size(), 2u);
    EXPECT_EQ(two->slices()[0].length, 10u);
    EXPECT_EQ(two->slices()[1].length, 10u);
    std::vector<std::uint8_t> joined(two->slices()[0].data, two->slices()[0].data + 10);
    joined.insert(joined.end(), two->slices()[1].data, two->slices()[1].data + 10);
    EXPECT_EQ(joined, expected(page - 10, 20));
}

TEST(PageResponse, SendsTheCodecsBytesWithoutCopyingThePages) {
    cache_harness h;
    const auto gcid = h.publish_pattern_file(3 * page);
    page_keeping_session session;
    file_link* link = h.cache.open(session, gcid, 3 * page);
    const std::uint32_t id = h.cache.submit(session, *link, page - 300, 1000);
    h.run_until([&] { return session.kept.size() == 1; });
    h.cache.release(link);
    std::shared_ptr<const read_bytes> bytes = std::move(session.kept.at(id));
    ASSERT_EQ(bytes->slices().size(), 2u);
    std::weak_ptr<const read_bytes> watch = bytes;

    evbuffer* out = evbuffer_new();
    const std::uint32_t queued = append_page_response(out, page - 300, std::move(bytes));
    EXPECT_EQ(queued, 21u + 38u + 1000u);
    ASSERT_EQ(evbuffer_get_length(out), queued);
    std::vector<std::uint8_t> wire(queued);
    evbuffer_copyout(out, wire.data(), wire.size());
    EXPECT_FALSE(watch.expired());  // the output buffer still holds the pages
    evbuffer_free(out);
    EXPECT_TRUE(watch.expired());

    // The same answer through the codec: equal except for the noise words.
    const auto data = expected(page - 300, 1000);
    peerfeed::p2p_cmd_requestresp reference(false);
    reference.offset = page - 300;
    reference.set_data(data.data(), 1000);
    std::vector<std::uint8_t> encoded(reference.encoded_size(true));
    std::uint32_t length = static_cast<std::uint32_t>(encoded.size());
    reference.encode(encoded.data(), length, true);
    ASSERT_EQ(encoded.size(), wire.size());
    for (std::size_t noise : {0u, 5u, 13u}) {
        std::copy_n(encoded.begin() + noise, 4, wire.begin() + noise);
    }
    EXPECT_EQ(wire, encoded);
    peerfeed::p2p_cmd_requestresp decoded(true);
    decoded.decode(wire.data(), queued, false, true);
    EXPECT_EQ(decoded.offset, page - 300);
    EXPECT_EQ(std::vector<std::uint8_t>(decoded.data(), decoded.data() + 1000), data);
}

TEST(BlockCacheDump, EmptyCacheHasTheSizeLinesAndTheHeaderOnly) {
    auto h = std::make_unique<cache_harness>();
    const auto dump = h->home.path() / "dump 'x'.txt";
    h->home.write_profile("[vp]\ndump_cache_file_path=" + dump.string() + "\n");
    const auto folder = h->home.path();
    h->cache.stop();
    EXPECT_EQ(file_text(dump),
              "Cache:0MB\r\nPage:64KB\r\nDisk Read Buffer:100MB\r\n\r\n"
              "pop\thit\tmiss\tload\tpath\tindex\t\r\n");
}

TEST(BlockCacheDump, ListsEveryPageWithItsCounts) {
    cache_harness h;
    const auto dump = h.home.path() / "dump.txt";
    const auto path = testing::write_pattern_file(h.home.path() / "f.mp4", 40 * page);
    const auto gcid = h.publish(path);
    recording_session session;
    file_link* link = h.cache.open(session, gcid, 40 * page);
    session.read(h.cache, *link, 0, 10);
    h.wait_for(session, 1);
    session.read(h.cache, *link, 0, 10);
    session.read(h.cache, *link, 33 * page, 10);
    h.wait_for(session, 3);
    h.cache.release(link);
    h.home.write_profile("[vp]\ndump_cache_file_path=" + dump.string() + "\n");
    h.cache.stop();
    EXPECT_EQ(file_text(dump),
              "Cache:0MB\r\nPage:64KB\r\nDisk Read Buffer:100MB\r\n\r\n"
              "pop\thit\tmiss\tload\tpath\tindex\t\r\n"
              "2\t1\t1\t1\t" +
                  path.string() +
                  "\t0\t\r\n"
                  "1\t0\t1\t1\t" +
                  path.string() + "\t33\t\r\n");
}

TEST(BlockCacheDump, EvictionDumpsOnlyWhenAnIntervalIsSet) {
    for (std::uint32_t interval : {0u, 1u}) {
        cache_settings s = small_settings();
        s.block_size = 2 * page;
        s.maximum_mem_size = 1;
        s.disk_read_buffer_size = page;
        s.auto_dump_cache_interval_seconds = interval;
        cache_harness h(s);
        const auto dump = h.home.path() / "auto.txt";
        h.home.write_profile("[vp]\ndump_cache_file_path=" + dump.string() + "\n");
        const auto gcid = h.publish_pattern_file(4 * page);
        recording_session session;
        file_link* link = h.cache.open(session, gcid, 4 * page);
        for (std::uint64_t index = 0; index < 3; ++index) {  // the third read evicts
            session.read(h.cache, *link, index * page, 10);
            h.wait_for(session, index + 1);
        }
        EXPECT_EQ(std::filesystem::exists(dump), interval != 0) << interval;
        h.cache.release(link);
        h.cache.stop();
        EXPECT_TRUE(std::filesystem::exists(dump)) << interval;  // always at stop
    }
}

TEST(BlockCacheDump, NoDumpWithoutAPath) {
    cache_harness h;
    h.cache.stop();
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(h.home.path()),
                            std::filesystem::directory_iterator()),
              0);
}

}  // namespace
}  // namespace peerfeed
