#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

#include "cache/disk_io.h"
#include "cache/page_pool.h"
#include "cache_test_support.h"

namespace peerfeed {
namespace {

constexpr std::uint32_t page = 65536;

std::vector<completion_packet> wait_for(completion_queue& queue, std::size_t count) {
    std::vector<completion_packet> all, batch;
    while (all.size() < count) {
        queue.wait_all(batch);
        all.insert(all.end(), batch.begin(), batch.end());
    }
    return all;
}

TEST(PageFile, RefusesWhatIsNotANonEmptyRegularFile) {
    testing::temp_folder dir;
    EXPECT_EQ(page_file::open((dir.path() / "missing").string()), nullptr);
    EXPECT_EQ(page_file::open(dir.path().string()), nullptr);
    std::ofstream(dir.path() / "empty").close();
    EXPECT_EQ(page_file::open((dir.path() / "empty").string()), nullptr);
    const auto fifo = dir.path() / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(page_file::open(fifo.string()), nullptr);  // and does not block
}

// Reads every page of a file through the reader, checks the bytes, and that a page past
// the end reads as 0 bytes.
void check_page_reads(const std::filesystem::path& folder) {
    const std::uint64_t size = 3 * page + 100;
    const auto path = testing::write_pattern_file(folder / "media with 'quote' %20.mp4", size);
    auto file = page_file::open(path.string());
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->size(), size);

    page_pool pool(page, 8 * page, 8 * page);
    completion_queue completions;
    page_reader reader(2, completions);
    std::vector<page_handle> pages;
    for (std::uint64_t index = 0; index < 5; ++index) {
        pages.push_back(pool.take());
        reader.read(file, pages.back().get(), page, index * page,
                    reinterpret_cast<void*>(index + 1));
    }
    std::vector<std::int64_t> bytes(5, -2);
    for (const completion_packet& packet : wait_for(completions, 5)) {
        ASSERT_EQ(packet.key, packet_key::read_done);
        bytes[reinterpret_cast<std::uintptr_t>(packet.context) - 1] = packet.bytes;
    }
    EXPECT_EQ(bytes, (std::vector<std::int64_t>{page, page, page, 100, 0}));
    for (std::uint64_t index = 0; index < 4; ++index) {
        const auto expected =
            testing::pattern_bytes(index * page, static_cast<std::size_t>(bytes[index]));
        EXPECT_EQ(std::memcmp(pages[index].get(), expected.data(), expected.size()), 0) << index;
    }
    EXPECT_EQ(reader.reads_done(), 5u);
}

TEST(PageReader, ReadsWholePagesOnADiskFileSystem) {
    testing::temp_folder dir("/tmp");
    check_page_reads(dir.path());
}

// tmpfs refuses O_DIRECT on older kernels and accepts it on newer ones; either way the
// pages must come back intact.
TEST(PageReader, ReadsWholePagesOnTmpfs) {
    if (!std::filesystem::is_directory("/dev/shm")) {
        GTEST_SKIP() << "no tmpfs at /dev/shm";
    }
    testing::temp_folder dir("/dev/shm");
    check_page_reads(dir.path());
}

TEST(PageReader, ReadBeyondATruncatedFileGivesNoBytes) {
    testing::temp_folder dir;
    const auto path = testing::write_pattern_file(dir.path() / "f", 2 * page);
    auto file = page_file::open(path.string());
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(::truncate(path.c_str(), page), 0);
    page_pool pool(page, 2 * page, 2 * page);
    page_handle buffer = pool.take();
    completion_queue completions;
    page_reader reader(1, completions);
    reader.read(file, buffer.get(), page, page, nullptr);
    reader.read(nullptr, buffer.get(), page, 0, nullptr);  // no file: a failed read
    const auto done = wait_for(completions, 2);
    EXPECT_EQ(done[0].bytes, 0);
    EXPECT_LT(done[1].bytes, 0);
}

}  // namespace
}  // namespace peerfeed
