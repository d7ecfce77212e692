#include <gtest/gtest.h>

#include "media_tools.h"
#include "test_bytes.h"
#include "wharfkeep/container/container_layout.h"
#include "wharfkeep/container/h264_seek_header.h"
#include "wharfkeep/container/mp4_box.h"
#include "wharfkeep/my_exception.h"

namespace wharfkeep {
namespace {

using namespace wharfkeep::test;

// Serves prefixes of an in-memory file and remembers what was asked.
struct MemoryFile {
    Bytes bytes;
    std::vector<std::size_t> requests;

    PrefixReader reader() {
        return [this](std::size_t n) {
            requests.push_back(n);
            return Bytes(bytes.begin(), bytes.begin() + std::min(n, bytes.size()));
        };
    }
    ContainerLayout parse() { return ParseContainer(reader(), bytes.size()); }
};

std::string parse_error(Bytes bytes) {
    MemoryFile file{std::move(bytes), {}};
    try {
        file.parse();
    } catch (const CMyException& error) {
        return error.message();
    }
    return "parsed";
}

TEST(ParseContainer, RecognisesNothingElse) {
    EXPECT_EQ(parse_error({}), "file fomat can`t support!");
    EXPECT_EQ(parse_error(Bytes{'f', 't', 'y'}), "file fomat can`t support!");
    EXPECT_EQ(parse_error(concat({padding_box("free", 16), ftyp()})), "file fomat can`t support!");
    Bytes text;
    put_text(text, "<html><body>not a video</body></html>");
    EXPECT_EQ(parse_error(text), "file fomat can`t support!");
}

TEST(ParseContainer, EachBranchRaisesItsOwnText) {
    Bytes rm;
    put_text(rm, ".RMF");
    rm.resize(18, 0);
    put_text(rm, "JUNK");
    EXPECT_EQ(parse_error(rm), "rmff_utility::parse file fail!");
    EXPECT_EQ(parse_error(Bytes{0x1A, 0x45, 0xDF, 0xA3, 0x80}), "mkv_utility::parse file fail!");
    EXPECT_EQ(parse_error(concat({ftyp(), padding_box("mdat", 64)})), "BuildH264SeekHeader fail!");
    EXPECT_EQ(parse_error(concat({zqhd(0, 0), padding_box("zqdt", 64), padding_box("free", 72)})),
              "BuildH264SeekHeader fail!")
        << "zero playing time";
    Bytes plain = concat(
        {ftyp(), box("moov", {mvhd(1000, 0), trak(mdhd(1000), {stts({{10, 100}}), stco({200})})}),
         padding_box("mdat", 64), padding_box("free", 72)});
    EXPECT_EQ(parse_error(plain), "BuildH264SeekHeader zqhdLength=0!");
}

TEST(ParseContainer, HeaderLengthRoundsUpPastTheStreamingHeader) {
    // A top-level header box ending at 5000 and a seek header of 3000 bytes: 8234.
    Bytes header = zqhd(0, 10, 3000 - 24 - 42 - 8);
    MemoryFile small{concat({ftyp(), padding_box("free", 5000 - 24 - std::uint32_t(header.size())),
                             header, padding_box("zqdt", 20'008), padding_box("free", 72)}),
                     {}};
    ContainerLayout layout = small.parse();
    EXPECT_EQ(layout.zqhd_length, 5000u);
    EXPECT_EQ(layout.header_length, 8234u);
    EXPECT_EQ(layout.tail_offset, 3000u + 20'000u);
    EXPECT_EQ(layout.tail_length, small.bytes.size() - 23'000u) << "cut at the seek header length";
    EXPECT_EQ(layout.bit_rate, small.bytes.size() / 10 * 8);
    EXPECT_EQ(layout.extension, ".mp4");

    // A header box inside a movie box of 8926 bytes, ending at 5000: the 9000 bytes stay.
    const Bytes movie_header = mvhd(1000, 0);
    const Bytes track = trak(mdhd(1000), {stts({{100, 100}}), stco({9000})});
    const std::uint32_t before_zqhd = 4972 - 32 - std::uint32_t(movie_header.size());
    const std::uint32_t after_track = 8926 - (4972 + 28 - 24) - std::uint32_t(track.size());
    Bytes moov = box("moov", {movie_header, padding_box("free", before_zqhd), zqhd(0, 0), track,
                              padding_box("free", after_track)});
    ASSERT_EQ(moov.size(), 8926u);
    MemoryFile big{concat({ftyp(), moov, padding_box("mdat", 20'008), padding_box("free", 72)}),
                   {}};
    layout = big.parse();
    EXPECT_EQ(layout.zqhd_length, 5000u);
    EXPECT_EQ(layout.header_length, 9000u);
    EXPECT_EQ(layout.tail_offset, 29'000u);
    EXPECT_EQ(layout.tail_length, 30u);
    EXPECT_EQ(layout.bit_rate, big.bytes.size() / 10 * 8);
}

TEST(ParseContainer, LayoutStaysInsideTheFile) {
    // A file smaller than the rounding keeps its header within the tail offset.
    MemoryFile tiny{concat({zqhd(0, 1), padding_box("zqdt", 108), padding_box("free", 72)}), {}};
    const ContainerLayout layout = tiny.parse();
    EXPECT_EQ(layout.tail_offset, 78u + 100u);
    EXPECT_EQ(layout.header_length, layout.tail_offset);
    // Media data that would end behind the end of the file once moved is refused.
    EXPECT_EQ(parse_error(concat({zqhd(0, 1), padding_box("zqdt", 108)})),
              "BuildH264SeekHeader fail!");
}

TEST(ParseContainer, ReadsTheProbeThenTheMp4Prefix) {
    MemoryFile file{concat({zqhd(0, 10), padding_box("zqdt", 300'000), padding_box("free", 72)}),
                    {}};
    file.parse();
    EXPECT_EQ(file.requests, (std::vector<std::size_t>{kContainerProbeSize, file.bytes.size()}));
    MemoryFile small{concat({zqhd(0, 10), padding_box("zqdt", 1000), padding_box("free", 72)}), {}};
    small.parse();
    EXPECT_EQ(small.requests, (std::vector<std::size_t>{small.bytes.size()}));
}

// Seek header followed by the media data is a complete file that plays like the source.
void expect_seek_header_plays_like(const TempDir& dir, const std::string& name) {
    const auto source = dir / name;
    const Bytes bytes = read_file(source);
    SeekHeader seek;
    ASSERT_EQ(BuildH264SeekHeader(bytes, bytes.size(), seek), kSeekHeaderOk);
    EXPECT_EQ(seek.zqhd_length, 0u);
    EXPECT_NEAR(double(seek.duration_seconds), media_duration(source), 1.0);

    std::uint64_t offset = 0;
    std::optional<Mp4BoxHeader> media;
    while (auto box = read_mp4_box_header(bytes, offset, bytes.size())) {
        if (box->is("mdat")) {
            media = box;
            break;
        }
        offset = box->end();
    }
    ASSERT_TRUE(media);
    Bytes served = seek.bytes;
    served.insert(served.end(), bytes.begin() + media->offset + media->header_size,
                  bytes.begin() + media->end());
    EXPECT_EQ(served.size(), seek.header_length + seek.media_payload_length);
    write_file(dir / ("served-" + name), served);
    EXPECT_EQ(frame_checksums(dir / ("served-" + name)), frame_checksums(source));

    EXPECT_EQ(parse_error(bytes), "BuildH264SeekHeader zqhdLength=0!");
}

TEST(BuildH264SeekHeaderOnFfmpegFiles, MovieFirstAndMovieLast) {
    TempDir dir;
    ASSERT_TRUE(make_media(dir / "first.mp4", "-movflags +faststart"));
    ASSERT_TRUE(make_media(dir / "last.mp4", ""));
    expect_seek_header_plays_like(dir, "first.mp4");
    expect_seek_header_plays_like(dir, "last.mp4");
}

TEST(ParseContainerOnFfmpegFiles, MatroskaBitRateMatchesTheDuration) {
    TempDir dir;
    ASSERT_TRUE(make_media(dir / "clip.mkv", "", 4));
    MemoryFile file{read_file(dir / "clip.mkv"), {}};
    const ContainerLayout layout = file.parse();
    EXPECT_EQ(layout.extension, ".mkv");
    EXPECT_GT(layout.header_length, 0u);
    EXPECT_LT(layout.header_length, layout.tail_offset);
    EXPECT_LT(layout.tail_offset, file.bytes.size());
    const double expected = double(file.bytes.size()) * 8 / media_duration(dir / "clip.mkv");
    EXPECT_NEAR(layout.bit_rate, expected, expected * 0.01);
}

}  // namespace
}  // namespace wharfkeep
