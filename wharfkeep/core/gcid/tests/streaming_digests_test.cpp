#include "wharfkeep/gcid/streaming_digests.h"

#include <gtest/gtest.h>

#include "test_files.h"
#include "wharfkeep/my_exception.h"

namespace wharfkeep {
namespace {

using testing::random_bytes;
using testing::TempFolder;
using testing::write_file;

// Feeds `content` in pieces of `chunk` bytes, as a writer or reader would pass them on.
template <typename Sink>
void feed_in_chunks(const std::vector<std::uint8_t>& content, std::size_t chunk, Sink sink) {
    for (std::size_t at = 0; at < content.size(); at += chunk) {
        const std::size_t n = std::min(chunk, content.size() - at);
        sink(at, std::span(content.data() + at, n));
    }
}

// What the file-reading functions give for the same bytes.
struct ReadDigests {
    std::string gcid;
    Sha1Digest check{};
    PieceDigestMap pieces;
};
ReadDigests read_digests(const std::string& path, std::uint64_t header, std::uint64_t tail) {
    ReadDigests read;
    parsefileGCID gcid(path);
    read.gcid = gcid.compute();
    SourceFile file(path);
    file.open("rb");
    read.check = compute_check_digest(file, file.size());
    read.pieces = compute_piece_digests(file, header, tail, file.size());
    return read;
}

// Pieces equal apart from their process-wide sequence numbers, which must run on in order.
void expect_same_pieces(const PieceDigestMap& streamed, const PieceDigestMap& read) {
    ASSERT_EQ(streamed.size(), read.size());
    auto a = streamed.begin();
    for (auto b = read.begin(); b != read.end(); ++a, ++b) {
        EXPECT_EQ(a->first, b->first);
        EXPECT_EQ(a->second.md5, b->second.md5);
        EXPECT_EQ(a->second.sequence - streamed.begin()->second.sequence,
                  b->second.sequence - read.begin()->second.sequence);
    }
}

TEST(StreamingDigests, EqualTheFileReadingDigestsForAnyChunking) {
    TempFolder folder;
    struct Case {
        std::size_t size;
        std::uint64_t header;
        std::uint64_t tail;
    };
    // The last two have a header and a tail larger than a lane's buffer, and pieces that
    // end exactly where a buffer does.
    for (const Case c :
         {Case{0, 0, 0}, Case{5000, 100, 4000}, Case{90000, 90000, 90000},
          Case{3 * kBodyPieceLength + 12345, 70000, 3 * kBodyPieceLength},
          Case{9 * kBodyPieceLength + 5, 2 * kBodyPieceLength + 1, 5 * kBodyPieceLength + 1},
          Case{6 * kBodyPieceLength, kBodyPieceLength, kBodyPieceLength * 3}}) {
        const auto content = random_bytes(c.size, static_cast<unsigned>(c.size));
        write_file(folder / "media", content);
        const ReadDigests read = read_digests(folder / "media", c.header, c.tail);
        for (const auto& [chunk, lanes] :
             {std::pair{std::size_t{1} << 20, 1u}, std::pair{std::size_t{7777}, 1u},
              std::pair{std::size_t{1} << 20, 3u}, std::pair{std::size_t{3} << 20, 2u},
              std::pair{std::size_t{7777}, 4u}}) {
            SCOPED_TRACE(std::to_string(c.size) + " by " + std::to_string(chunk) + " on " +
                         std::to_string(lanes) + " lanes");
            SampledSha1 gcid(gcid_ranges(c.size));
            SampledSha1 check(check_digest_ranges(c.size));
            PieceHasher pieces(c.header, c.tail, c.size, lanes);
            feed_in_chunks(content, chunk, [&](std::uint64_t at, std::span<const std::uint8_t> b) {
                gcid.Feed(at, b);
                check.Feed(at, b);
                pieces.Feed(b);
            });
            EXPECT_EQ(digest_to_hex(gcid.Finish()), read.gcid);
            EXPECT_EQ(check.Finish(), read.check);
            expect_same_pieces(pieces.Finish(), read.pieces);
        }
    }
}

TEST(StreamingDigests, MissingOrSurplusBytesRaise) {
    const auto content = random_bytes(200000, 3);
    SampledSha1 gcid(gcid_ranges(content.size() + 100000));
    gcid.Feed(0, content);
    EXPECT_THROW(gcid.Finish(), CMyException) << "the last samples never came";

    for (const unsigned lanes : {1u, 3u}) {
        PieceHasher short_file(1000, 150000, content.size() + 1, lanes);
        short_file.Feed(content);
        EXPECT_THROW(short_file.Finish(), CMyException) << lanes;

        PieceHasher long_file(1000, 150000, content.size() - 1, lanes);
        EXPECT_THROW(long_file.Feed(content), CMyException) << lanes;
    }
    // Lanes stopped with bytes still queued are joined without hashing them.
    const auto large = random_bytes(6 * kBodyPieceLength, 4);
    {
        PieceHasher abandoned(0, large.size(), large.size() + 1, 2);
        abandoned.Feed(large);
    }
}

}  // namespace
}  // namespace wharfkeep
