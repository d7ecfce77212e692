#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "test_bytes.h"
#include "wharfkeep/container/h264_seek_header.h"

namespace wharfkeep {
namespace {

using namespace wharfkeep::test;

// Position of the first box of `type` in `bytes` (its size field), or npos.
std::size_t find_box(const Bytes& bytes, std::string_view type) {
    auto found = std::search(bytes.begin(), bytes.end(), type.begin(), type.end());
    return found == bytes.end() ? std::string::npos : std::size_t(found - bytes.begin()) - 4;
}

std::uint64_t get_be64(const Bytes& in, std::size_t at) {
    return (std::uint64_t(get_be32(in, at)) << 32) | get_be32(in, at + 4);
}

Bytes free_tail() {
    return padding_box("free", 72);
}

// ftyp, a movie box with a streaming header, 1000 bytes of media data and a trailing free.
struct StreamingFile {
    Bytes ftyp_box = ftyp();
    Bytes moov_box = box("moov", {mvhd(1000, 0), zqhd(0, 0),
                                  trak(mdhd(90000), {stts({{250, 3600}}), stco({400, 900})})});
    Bytes mdat_box = padding_box("mdat", 1008);
    Bytes file = concat({ftyp_box, moov_box, mdat_box, free_tail()});
};

TEST(BuildH264SeekHeader, MovieBoxFirstMovesChunksBehindTheBanner) {
    StreamingFile f;
    SeekHeader seek;
    ASSERT_EQ(BuildH264SeekHeader(f.file, f.file.size(), seek), kSeekHeaderOk);

    const std::size_t expected_length = f.ftyp_box.size() + 42 + f.moov_box.size() + 8;
    EXPECT_EQ(seek.header_length, expected_length);
    EXPECT_EQ(seek.bytes.size(), expected_length);
    EXPECT_EQ(seek.media_payload_length, 1000u);
    // The header box is the first child after mvhd: it ends 8 + 108 + 28 bytes into moov.
    EXPECT_EQ(seek.zqhd_length, f.ftyp_box.size() + 8 + 108 + 28);
    EXPECT_EQ(seek.duration_seconds, 10u);
    EXPECT_EQ(seek.bit_rate, f.file.size() / 10 * 8);

    // ftyp, the banner, the movie box, the media-data header.
    EXPECT_TRUE(std::equal(f.ftyp_box.begin(), f.ftyp_box.end(), seek.bytes.begin()));
    const std::size_t banner = f.ftyp_box.size();
    EXPECT_EQ(get_be32(seek.bytes, banner), 42u);
    EXPECT_EQ(std::string(seek.bytes.begin() + banner + 4, seek.bytes.begin() + banner + 42),
              "freevideo served by mod_h264_streaming");
    const std::size_t media_header = expected_length - 8;
    EXPECT_EQ(get_be32(seek.bytes, media_header), 1008u);
    EXPECT_EQ(std::string(seek.bytes.begin() + media_header + 4, seek.bytes.end()), "mdat");

    // The media data now starts 42 bytes later; the movie duration is written back.
    const std::size_t chunk_table = find_box(seek.bytes, "stco");
    EXPECT_EQ(get_be32(seek.bytes, chunk_table + 16), 442u);
    EXPECT_EQ(get_be32(seek.bytes, chunk_table + 20), 942u);
    const std::size_t movie_header = find_box(seek.bytes, "mvhd");
    EXPECT_EQ(get_be32(seek.bytes, movie_header + 8 + 16), 10000u);
}

TEST(BuildH264SeekHeader, LongestTrackInMovieUnitsGivesTheDuration) {
    // Audio 481792 / 48000 s (6022 movie units at 600/s), video exactly 10 s (6000 units).
    Bytes audio = trak(mdhd(48000, true), {stts({{470, 1024}, {1, 512}}), co64({5000, 6000})});
    Bytes video = trak(mdhd(90000), {stts({{300, 3000}}), stco({4000})});
    Bytes moov = box("moov", {mvhd(600, 0, true), audio, video});
    // Movie box last: the media data moves from offset 24 to behind the seek header.
    Bytes ftyp_box = ftyp();
    Bytes mdat = padding_box("mdat", 8 + 3000);
    Bytes file = concat({ftyp_box, mdat, moov});

    SeekHeader seek;
    ASSERT_EQ(BuildH264SeekHeader(file, file.size(), seek), kSeekHeaderOk);
    EXPECT_EQ(seek.duration_seconds, 10u);
    const std::size_t movie_header = find_box(seek.bytes, "mvhd");
    EXPECT_EQ(get_be64(seek.bytes, movie_header + 8 + 24), 6022u);
    const std::int64_t shift = std::int64_t(ftyp_box.size() + moov.size() + 42) - 24;
    const std::size_t wide_table = find_box(seek.bytes, "co64");
    EXPECT_EQ(get_be64(seek.bytes, wide_table + 16), std::uint64_t(5000 + shift));
    EXPECT_EQ(get_be64(seek.bytes, wide_table + 24), std::uint64_t(6000 + shift));
    const std::size_t table = find_box(seek.bytes, "stco");
    EXPECT_EQ(get_be32(seek.bytes, table + 16), std::uint32_t(4000 + shift));
    // No header box anywhere in the movie.
    EXPECT_EQ(seek.zqhd_length, 0u);
}

TEST(BuildH264SeekHeader, TopLevelHeaderBoxGivesPlayingTimeInSeconds) {
    Bytes header = zqhd(0, 20);
    Bytes file = concat({header, padding_box("zqdt", 5008), free_tail()});
    SeekHeader seek;
    ASSERT_EQ(BuildH264SeekHeader(file, file.size(), seek), kSeekHeaderOk);
    EXPECT_EQ(seek.header_length, 42u + header.size() + 8);
    EXPECT_EQ(seek.zqhd_length, header.size());
    EXPECT_EQ(seek.duration_seconds, 20u);
    EXPECT_EQ(seek.bit_rate, file.size() / 20 * 8);
    EXPECT_EQ(seek.media_payload_length, 5000u);
    EXPECT_EQ(std::string(seek.bytes.end() - 4, seek.bytes.end()), "zqdt");
}

TEST(BuildH264SeekHeader, RefusesWhatItCannotDescribe) {
    SeekHeader seek;
    EXPECT_EQ(BuildH264SeekHeader({}, 0, seek), kSeekHeaderEmptyInput);

    Bytes no_movie = concat({ftyp(), padding_box("mdat", 100)});
    EXPECT_EQ(BuildH264SeekHeader(no_movie, no_movie.size(), seek), kSeekHeaderNoMovieBox);

    StreamingFile f;
    Bytes no_media = concat({f.ftyp_box, f.moov_box, free_tail()});
    EXPECT_EQ(BuildH264SeekHeader(no_media, no_media.size(), seek), kSeekHeaderNoMediaData);

    // No playing time: a header box saying 0 seconds, a movie without tracks.
    Bytes still = concat({zqhd(0, 0), padding_box("zqdt", 100)});
    EXPECT_EQ(BuildH264SeekHeader(still, still.size(), seek), kSeekHeaderZeroDuration);
    Bytes trackless =
        concat({ftyp(), box("moov", {mvhd(1000, 0), zqhd(0, 0)}), padding_box("mdat", 100)});
    EXPECT_EQ(BuildH264SeekHeader(trackless, trackless.size(), seek), kSeekHeaderZeroDuration);
}

TEST(BuildH264SeekHeader, MalformedMovieBoxFailsTheSeekStep) {
    auto build = [](Bytes moov) {
        Bytes file = concat({ftyp(), moov, padding_box("mdat", 100)});
        SeekHeader seek;
        return BuildH264SeekHeader(file, file.size(), seek);
    };
    const Bytes good_tables = concat({stts({{10, 100}}), stco({100})});
    EXPECT_EQ(build(box("moov", {mvhd(0, 0), trak(mdhd(1000), {good_tables})})),
              kSeekHeaderMoovSeekFailed)
        << "zero movie timescale";
    EXPECT_EQ(build(box("moov", {mvhd(1000, 0), trak(mdhd(0), {good_tables})})),
              kSeekHeaderMoovSeekFailed)
        << "zero media timescale";
    EXPECT_EQ(build(box("moov", {trak(mdhd(1000), {good_tables})})), kSeekHeaderMoovSeekFailed)
        << "no movie header";
    EXPECT_EQ(build(box("moov", {mvhd(1000, 0), trak(mdhd(1000), {stts({{10, 100}})})})),
              kSeekHeaderMoovSeekFailed)
        << "no chunk offsets";
    EXPECT_EQ(build(box("moov", {mvhd(1000, 0),
                                 trak(mdhd(1000), {stts({{10, 100}}), stco({0xFFFFFFF0u})})})),
              kSeekHeaderMoovSeekFailed)
        << "a moved offset that leaves 32 bits";

    // An stts whose entry count claims more entries than its bytes hold.
    Bytes lying_stts = stts({{10, 100}});
    lying_stts[15] = 200;
    EXPECT_EQ(build(box("moov", {mvhd(1000, 0), trak(mdhd(1000), {lying_stts, stco({100})})})),
              kSeekHeaderMoovSeekFailed);
    // A version-1 mdhd cut before its language field.
    Bytes short_mdhd = mdhd(1000, true);
    short_mdhd.resize(short_mdhd.size() - 4);
    short_mdhd[3] = std::uint8_t(short_mdhd.size());
    EXPECT_EQ(build(box("moov", {mvhd(1000, 0), trak(short_mdhd, {good_tables})})),
              kSeekHeaderMoovSeekFailed);
}

TEST(BuildH264SeekHeader, TopLevelWalkStopsOnSizesItCannotFollow) {
    StreamingFile f;
    SeekHeader seek;
    // A size of 3 ends the walk before the movie box.
    Bytes bad = concat({f.ftyp_box, Bytes{0, 0, 0, 3, 'b', 'a', 'd', '!'}, f.moov_box, f.mdat_box});
    EXPECT_EQ(BuildH264SeekHeader(bad, bad.size(), seek), kSeekHeaderNoMovieBox);
    // A box of size 0 runs to the end of the buffer, so nothing follows it.
    Bytes endless =
        concat({f.ftyp_box, Bytes{0, 0, 0, 0, 'f', 'r', 'e', 'e'}, f.moov_box, f.mdat_box});
    EXPECT_EQ(BuildH264SeekHeader(endless, endless.size(), seek), kSeekHeaderNoMovieBox);
    // A 64-bit size whose end wraps around to offset 0 would start the walk over forever.
    Bytes wrapping_header;
    put_be32(wrapping_header, 1);
    put_text(wrapping_header, "free");
    put_be64(wrapping_header, 0 - std::uint64_t(f.ftyp_box.size()));
    Bytes wrapping = concat({f.ftyp_box, wrapping_header, f.moov_box, f.mdat_box});
    EXPECT_EQ(BuildH264SeekHeader(wrapping, wrapping.size(), seek), kSeekHeaderNoMovieBox);
    // A movie box cut off by the end of the buffer is not kept.
    Bytes cut(f.file.begin(), f.file.begin() + f.ftyp_box.size() + f.moov_box.size() - 1);
    EXPECT_EQ(BuildH264SeekHeader(cut, f.file.size(), seek), kSeekHeaderNoMovieBox);
}

TEST(BuildH264SeekHeader, MediaDataBeyondTheBufferIsMeasuredFromItsHeader) {
    StreamingFile f;
    const std::size_t media_at = f.ftyp_box.size() + f.moov_box.size();
    SeekHeader seek;

    // Only the first bytes of the media data are in the buffer.
    Bytes prefix(f.file.begin(), f.file.begin() + media_at + 100);
    ASSERT_EQ(BuildH264SeekHeader(prefix, f.file.size(), seek), kSeekHeaderOk);
    EXPECT_EQ(seek.media_payload_length, 1000u);

    // Size 0 on the media data: it runs to the end of the file, not of the buffer.
    Bytes open_ended = f.file;
    open_ended.resize(media_at + 1008);
    std::fill_n(open_ended.begin() + media_at, 4, 0);
    const std::uint64_t big_file = 100'000'000;
    prefix.assign(open_ended.begin(), open_ended.begin() + media_at + 100);
    ASSERT_EQ(BuildH264SeekHeader(prefix, big_file, seek), kSeekHeaderOk);
    EXPECT_EQ(seek.media_payload_length, big_file - media_at - 8);
    EXPECT_EQ(get_be32(seek.bytes, seek.bytes.size() - 8), big_file - media_at);

    // A 64-bit size: the payload follows a 16-byte header.
    Bytes large_header;
    put_be32(large_header, 1);
    put_text(large_header, "mdat");
    put_be64(large_header, 6'000'000'000ull);
    Bytes large = concat({f.ftyp_box, f.moov_box, large_header});
    ASSERT_EQ(BuildH264SeekHeader(large, 6'000'100'000ull, seek), kSeekHeaderOk);
    EXPECT_EQ(seek.media_payload_length, 6'000'000'000ull - 16);
    EXPECT_EQ(get_be32(seek.bytes, seek.bytes.size() - 8), 0u) << "too large for 8 bytes";
}

TEST(SeekMoov, KeepsTheBoxSizeAndRefusesTruncatedInput) {
    Bytes moov = box("moov", {mvhd(1000, 0), trak(mdhd(1000), {stts({{10, 100}}), stco({7})})});
    const std::size_t size = moov.size();
    auto seconds = SeekMoov(moov, 5);
    ASSERT_TRUE(seconds);
    EXPECT_EQ(*seconds, 1u);
    EXPECT_EQ(moov.size(), size);
    EXPECT_EQ(get_be32(moov, 0), size);
    Bytes truncated(moov.begin(), moov.end() - 1);
    EXPECT_FALSE(SeekMoov(truncated, 5));
}

}  // namespace
}  // namespace wharfkeep
