#include "wharfkeep/gcid/gcid.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "test_files.h"
#include "wharfkeep/my_exception.h"

namespace wharfkeep {
namespace {

using testing::md5_of;
using testing::random_bytes;
using testing::sha1_of;
using testing::TempFolder;
using testing::write_file;

// Builds the bytes a sampled digest must cover: `length` bytes at each offset.
template <typename Offsets>
std::vector<std::uint8_t> samples_of(const std::vector<std::uint8_t>& content,
                                     const Offsets& offsets, std::size_t length) {
    std::vector<std::uint8_t> bytes;
    for (const auto offset : offsets) {
        bytes.insert(bytes.end(), content.begin() + static_cast<std::ptrdiff_t>(offset),
                     content.begin() + static_cast<std::ptrdiff_t>(offset + length));
    }
    return bytes;
}

std::string gcid_of(const std::string& path) {
    parsefileGCID gcid(path);
    return gcid.compute();
}

TEST(Gcid, EmptyFileIsTheDigestOfNoBytes) {
    TempFolder folder;
    write_file(folder / "empty", {});
    parsefileGCID gcid(folder / "empty");
    EXPECT_EQ(gcid.compute(), "DA39A3EE5E6B4B0D3255BFEF95601890AFD80709");
    EXPECT_EQ(gcid.file_size(), 0u);
    EXPECT_EQ(digest_to_hex(gcid.digest()), gcid.text());
}

TEST(Gcid, WholeFileUpTo102400BytesAndFiveSamplesAbove) {
    TempFolder folder;
    const auto small = random_bytes(102400, 1);
    write_file(folder / "small", small);
    EXPECT_EQ(gcid_of(folder / "small"), digest_to_hex(sha1_of(small)));

    const auto large = random_bytes(102401, 2);
    write_file(folder / "large", large);
    const std::array<std::uint32_t, 5> expected_offsets{0, 20480, 40960, 61440, 81920};
    EXPECT_EQ(gcid_sample_offsets(102401), expected_offsets);
    EXPECT_EQ(gcid_of(folder / "large"),
              digest_to_hex(sha1_of(samples_of(large, expected_offsets, 20480))));
}

TEST(Gcid, SampleOffsetsWrapAtFourGigabytesLikeEveryPeer) {
    const std::array<std::uint32_t, 5> expected{0, 300000000, 600000000, 41006540, 341006540};
    EXPECT_EQ(gcid_sample_offsets(1500000000), expected);
}

// Writes a sparse file of `size` bytes with a distinct 20480-byte marker at each offset.
void write_sparse_with_markers(const std::string& path, std::uint64_t size,
                               const std::vector<std::uint64_t>& offsets) {
    {
        SourceFile file(path);
        EXPECT_EQ(file.open("wb"), 0);
        for (std::size_t i = 0; i < offsets.size(); ++i) {
            const auto marker = random_bytes(kGcidSampleLength, static_cast<unsigned>(10 + i));
            EXPECT_EQ(file.seek(offsets[i]), 0);
            EXPECT_EQ(file.write(marker.data(), marker.size()),
                      static_cast<std::int64_t>(marker.size()));
        }
    }
    std::filesystem::resize_file(path, size);
}

// Checks that the file at `path` is identified by the first five markers of
// write_sparse_with_markers (its five samples) and has `size` bytes.
void expect_sampled_at_first_five_markers(const std::string& path, std::uint64_t size) {
    std::vector<std::uint8_t> samples;
    for (std::size_t i = 0; i < 5; ++i) {
        const auto marker = random_bytes(kGcidSampleLength, static_cast<unsigned>(10 + i));
        samples.insert(samples.end(), marker.begin(), marker.end());
    }
    parsefileGCID gcid(path);
    EXPECT_EQ(gcid.compute(), digest_to_hex(sha1_of(samples)));
    EXPECT_EQ(gcid.file_size(), size);
}

TEST(Gcid, LargeSparseFileIsSampledAtTheWrappedOffsets) {
    TempFolder folder;
    const std::string path = folder / "sparse";
    const std::uint64_t size = 1500000000;
    // Markers at the wrapped offsets and at the unwrapped ones the wrong arithmetic reads.
    const std::vector<std::uint64_t> offsets{0,         300000000, 600000000, 41006540,
                                             341006540, 900000000, 1200000000};
    write_sparse_with_markers(path, size, offsets);
    expect_sampled_at_first_five_markers(path, size);
}

TEST(Gcid, FilesOfFourGigabytesAndMoreAreIdentified) {
    TempFolder folder;
    const std::string path = folder / "huge";
    const std::uint64_t size = 6000000000;  // above 4 GiB: the 32-bit offsets wrap
    const auto offsets32 = gcid_sample_offsets(size);
    write_sparse_with_markers(path, size, {offsets32.begin(), offsets32.end()});
    expect_sampled_at_first_five_markers(path, size);
}

TEST(Gcid, UnreadableInputRaisesInsteadOfHashingOtherBytes) {
    TempFolder folder;
    try {
        gcid_of(folder / "missing");
        FAIL() << "a missing file has no GCID";
    } catch (const CMyException& error) {
        EXPECT_EQ(error.message(), "Error info is No such file or directory");
    }
    // A directory opens for reading but yields no bytes: its status claims a size.
    EXPECT_THROW(gcid_of(folder.path().string()), CMyException);
}

TEST(CheckDigest, WholeFileUpTo76800BytesAndThreeSamplesAbove) {
    TempFolder folder;
    const auto small = random_bytes(76800, 3);
    write_file(folder / "small", small);
    SourceFile small_file(folder / "small");
    ASSERT_EQ(small_file.open("rb"), 0);
    EXPECT_EQ(compute_check_digest(small_file, small_file.size()), sha1_of(small));

    const auto large = random_bytes(76801, 4);
    write_file(folder / "large", large);
    const std::array<std::uint64_t, 3> expected_offsets{0, 25600, 51200};
    EXPECT_EQ(check_sample_offsets(76801), expected_offsets);
    SourceFile large_file(folder / "large");
    ASSERT_EQ(large_file.open("rb"), 0);
    EXPECT_EQ(compute_check_digest(large_file, large_file.size()),
              sha1_of(samples_of(large, expected_offsets, 25600)));
}

TEST(CheckDigest, OffsetsUseSixtyFourBitArithmetic) {
    const std::uint64_t size = 6000000000;
    const std::array<std::uint64_t, 3> expected{0, 2000000000, 4000000000};
    EXPECT_EQ(check_sample_offsets(size), expected);
}

TEST(CheckDigest, FileShorterThanClaimedRaises) {
    TempFolder folder;
    write_file(folder / "short", random_bytes(1000, 5));
    SourceFile file(folder / "short");
    ASSERT_EQ(file.open("rb"), 0);
    EXPECT_THROW(compute_check_digest(file, 1001), CMyException);
    EXPECT_THROW(compute_check_digest(file, 200000), CMyException);
}

std::vector<PieceRange> ranges(
    std::initializer_list<std::pair<std::uint64_t, std::uint64_t>> list) {
    std::vector<PieceRange> result;
    for (const auto& [offset, length] : list) {
        result.push_back({offset, length});
    }
    return result;
}

constexpr std::uint64_t kMiB = 1048576;

TEST(PiecePlan, CutsAtTheTwoMebibyteBoundaries) {
    EXPECT_EQ(
        plan_pieces(0, 5 * kMiB, 5 * kMiB),
        ranges({{0, 0}, {0, 2 * kMiB}, {2 * kMiB, 2 * kMiB}, {4 * kMiB, kMiB}, {5 * kMiB, 0}}));
    EXPECT_EQ(plan_pieces(100, 100 + 2 * kMiB, 3 * kMiB),
              ranges({{0, 100}, {100, 2 * kMiB}, {100 + 2 * kMiB, kMiB - 100}}));
    EXPECT_EQ(plan_pieces(100, 101 + 2 * kMiB, 101 + 2 * kMiB),
              ranges({{0, 100}, {100, 2 * kMiB}, {100 + 2 * kMiB, 1}, {101 + 2 * kMiB, 0}}));
    EXPECT_EQ(plan_pieces(100, 100 + 4 * kMiB, 100 + 4 * kMiB),
              ranges({{0, 100}, {100, 2 * kMiB}, {100 + 2 * kMiB, 2 * kMiB}, {100 + 4 * kMiB, 0}}));
    EXPECT_EQ(plan_pieces(7, 7, 9), ranges({{0, 7}, {7, 2}}));
}

TEST(PiecePlan, RejectsBoundariesOutsideTheFile) {
    EXPECT_THROW(plan_pieces(10, 5, 20), CMyException);
    EXPECT_THROW(plan_pieces(0, 21, 20), CMyException);
}

TEST(PieceDigests, HashEachPieceAndNumberThemInCuttingOrder) {
    TempFolder folder;
    const std::uint64_t header = 1000;
    const std::uint64_t tail = header + 2 * kBodyPieceLength + 5;
    const auto content = random_bytes(tail + 777, 6);
    write_file(folder / "media", content);
    SourceFile file(folder / "media");
    ASSERT_EQ(file.open("rb"), 0);

    const auto digests = compute_piece_digests(file, header, tail, content.size());
    const auto expected_ranges = plan_pieces(header, tail, content.size());
    ASSERT_EQ(digests.size(), expected_ranges.size());
    std::uint32_t expected_sequence = digests.begin()->second.sequence;
    for (const PieceRange& range : expected_ranges) {
        const auto found = digests.find(range);
        ASSERT_NE(found, digests.end());
        EXPECT_EQ(found->second.sequence, expected_sequence++);
        EXPECT_EQ(found->second.md5, md5_of(content.data() + range.offset, range.length));
    }
    // The sequence continues with the next file; it is never reset.
    const auto again = compute_piece_digests(file, 0, 0, 0);
    ASSERT_EQ(again.size(), 1u) << "empty header and tail share one key";
    EXPECT_EQ(again.begin()->second.sequence, expected_sequence);
    EXPECT_EQ(again.begin()->second.md5, md5_of(nullptr, 0));
}

TEST(PieceDigests, OrderedByOffsetThenLength) {
    TempFolder folder;
    const auto content = random_bytes(5 * kMiB, 7);
    write_file(folder / "media", content);
    SourceFile file(folder / "media");
    ASSERT_EQ(file.open("rb"), 0);
    const auto digests = compute_piece_digests(file, 0, 5 * kMiB, 5 * kMiB);
    std::vector<PieceRange> keys;
    for (const auto& [range, digest] : digests) {
        keys.push_back(range);
    }
    EXPECT_EQ(
        keys,
        ranges({{0, 0}, {0, 2 * kMiB}, {2 * kMiB, 2 * kMiB}, {4 * kMiB, kMiB}, {5 * kMiB, 0}}));
    EXPECT_EQ(digests.begin()->second.md5, md5_of(nullptr, 0));
}

TEST(PieceDigests, PiecesLargerThanTheWorkBufferAreHashedWhole) {
    TempFolder folder;
    const std::uint64_t header = kPieceBufferLength + 12345;
    const auto content = random_bytes(header + 10, 8);
    write_file(folder / "media", content);
    SourceFile file(folder / "media");
    ASSERT_EQ(file.open("rb"), 0);
    const auto digests = compute_piece_digests(file, header, header, content.size());
    EXPECT_EQ(digests.at(PieceRange{0, header}).md5, md5_of(content.data(), header));
    EXPECT_EQ(digests.at(PieceRange{header, 10}).md5, md5_of(content.data() + header, 10));
}

TEST(PieceDigests, TruncatedFileRaises) {
    TempFolder folder;
    write_file(folder / "media", random_bytes(3 * kMiB, 9));
    SourceFile file(folder / "media");
    ASSERT_EQ(file.open("rb"), 0);
    EXPECT_THROW(compute_piece_digests(file, 0, 3 * kMiB, 3 * kMiB + 1), CMyException);
}

TEST(CombinedDigest, CoversGcidCheckDigestAndLittleEndianSize) {
    // The message the digest covers, written out: GCID, check digest, size little-endian.
    std::array<std::uint8_t, 48> message{};
    GcidBytes gcid{};
    Sha1Digest check{};
    for (std::size_t i = 0; i < 20; ++i) {
        gcid[i] = static_cast<std::uint8_t>(i);
        check[i] = static_cast<std::uint8_t>(0xA0 + i);
        message[i] = gcid[i];
        message[20 + i] = check[i];
    }
    for (std::size_t i = 0; i < 8; ++i) {
        message[40 + i] = static_cast<std::uint8_t>(8 - i);
    }
    EXPECT_EQ(combined_digest(gcid, check, 0x0102030405060708ull),
              md5_of(message.data(), message.size()));
}

TEST(GcidText, ConvertsFoldsCaseAndStopsAtTheFirstNonDigit) {
    GcidBytes bytes{};
    EXPECT_TRUE(gcid_text_to_bytes("da39a3ee5e6b4b0d3255bfef95601890AFD80709", bytes));
    EXPECT_EQ(digest_to_hex(bytes), "DA39A3EE5E6B4B0D3255BFEF95601890AFD80709");

    GcidBytes partial{};
    EXPECT_FALSE(gcid_text_to_bytes("0102zz0405", partial));
    EXPECT_EQ(partial[0], 0x01);
    EXPECT_EQ(partial[1], 0x02);
    EXPECT_EQ(partial[2], 0x00);

    GcidBytes untouched{};
    EXPECT_FALSE(gcid_text_to_bytes(std::string(42, 'A'), untouched));
    EXPECT_EQ(untouched, GcidBytes{});
    EXPECT_FALSE(gcid_text_to_bytes(std::string(41, 'A'), untouched));
    EXPECT_FALSE(gcid_text_to_bytes("ABC", untouched));
}

}  // namespace
}  // namespace wharfkeep
