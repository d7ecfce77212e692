// The read-ahead the layout writer copies samples through: the right bytes, and each byte
// of the source read about once whatever order the tracks are stored in.

#include "source_read_ahead.h"

#include <gtest/gtest.h>

#include <cstring>
#include <numeric>

namespace moovwright {
namespace {

// A file in memory that counts the bytes read from it.
class CountingFile final : public IZHDFileCtrl {
public:
    explicit CountingFile(std::vector<uint8_t> bytes) : file_(std::move(bytes)) {}
    uint32_t Open(const char* path, bool write) override { return file_.Open(path, write); }
    bool IsWriting() const override { return false; }
    uint32_t Close() override { return file_.Close(); }
    uint32_t GetSize(uint64_t* size) override { return file_.GetSize(size); }
    uint32_t Seek(uint64_t position) override { return file_.Seek(position); }
    uint64_t Tell() const override { return file_.Tell(); }
    uint32_t Read(void* buffer, size_t length, size_t* got) override {
        const uint32_t result = file_.Read(buffer, length, got);
        bytesRead += *got;
        ++reads;
        return result;
    }
    uint32_t Write(const void*, size_t) override { return MW_E_FAIL; }
    uint32_t Sync() override { return MW_OK; }

    uint64_t bytesRead = 0;
    uint64_t reads = 0;

private:
    CZHDMemoryFileCtrl file_;
};

std::vector<uint8_t> numbered_bytes(size_t n) {
    std::vector<uint8_t> bytes(n);
    for (size_t i = 0; i < n; ++i)
        bytes[i] = static_cast<uint8_t>(i * 131 + i / 251);
    return bytes;
}

struct Sample {
    uint64_t position;
    size_t size;
};

// Fetches every sample and checks its bytes.
void fetch_all(SourceReadAhead& reader, const std::vector<uint8_t>& file,
               const std::vector<Sample>& samples) {
    for (const Sample& s : samples) {
        const uint8_t* bytes = nullptr;
        ASSERT_EQ(reader.Fetch(s.position, s.size, &bytes), MW_OK) << s.position;
        ASSERT_EQ(std::memcmp(bytes, file.data() + s.position, s.size), 0) << s.position;
    }
}

constexpr size_t kWindow = 64 * 1024;

TEST(SourceReadAhead, InterleavedSamplesWithSmallInversionsAreReadOnceInLargeReads) {
    const std::vector<uint8_t> file = numbered_bytes(40 * kWindow);
    // Chunks of 1000-byte samples, each pair of neighbours swapped: consumption runs a
    // little behind and ahead of the storage order, as with interleaved tracks.
    std::vector<Sample> samples;
    for (uint64_t at = 0; at + 2000 <= file.size(); at += 2000) {
        samples.push_back({at + 1000, 1000});
        samples.push_back({at, 1000});
    }
    CountingFile source(file);
    SourceReadAhead reader(source, kWindow);
    fetch_all(reader, file, samples);
    EXPECT_LE(source.bytesRead, file.size() + file.size() / 20);
    EXPECT_LE(source.reads, 2 * file.size() / kWindow + 4) << "large reads, not one per sample";
}

TEST(SourceReadAhead, TracksStoredFarApartEachGetTheirWindow) {
    const std::vector<uint8_t> file = numbered_bytes(40 * kWindow);
    const uint64_t half = file.size() / 2;
    std::vector<Sample> samples;
    for (uint64_t at = 0; at + 700 <= half; at += 700) {
        samples.push_back({at, 700});
        samples.push_back({half + at, 700});
    }
    CountingFile source(file);
    SourceReadAhead reader(source, kWindow);
    fetch_all(reader, file, samples);
    EXPECT_LE(source.bytesRead, file.size() + file.size() / 20);
}

TEST(SourceReadAhead, LargeSamplesAndTheEndOfTheFile) {
    const std::vector<uint8_t> file = numbered_bytes(5 * kWindow + 3);
    CountingFile source(file);
    SourceReadAhead reader(source, kWindow);
    fetch_all(reader, file, {{10, kWindow}, {file.size() - 100, 100}, {file.size(), 0}});
    const uint8_t* bytes = nullptr;
    EXPECT_EQ(reader.Fetch(file.size() - 10, 11, &bytes), MW_NOT_ENOUGH_DATA);
    EXPECT_EQ(reader.Fetch(file.size() + 1, 0, &bytes), MW_NOT_ENOUGH_DATA);
}

}  // namespace
}  // namespace moovwright
