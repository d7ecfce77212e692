#include <gtest/gtest.h>
#include <unistd.h>

#include "engine_test_support.h"
#include "wharfkeep/engine/media_probe.h"

namespace wharfkeep {
namespace {

using namespace wharfkeep::test;

MediaProbeResult probe_bytes(const TempHome& home, const Bytes& bytes) {
    write_bytes(home / "m.mp4", bytes);
    const auto result = MediaProbe(home / "m.mp4");
    EXPECT_TRUE(result);
    return result.value_or(MediaProbeResult{});
}

TEST(MediaProbe, TellsTheThreeKindsApart) {
    TempHome home;
    EXPECT_EQ(probe_bytes(home, plain_mp4_file(100)).kind, kMediaPlainMp4);
    MediaProbeResult in_moov = probe_bytes(home, header_in_moov_file(100));
    EXPECT_EQ(in_moov.kind, kMediaHeaderInMoov);
    EXPECT_EQ(in_moov.header_word, 0);
    MediaProbeResult top = probe_bytes(home, top_level_header_file(100));
    EXPECT_EQ(top.kind, kMediaHeaderTopLevel);
    ASSERT_TRUE(top.media_box);
    EXPECT_TRUE(top.media_box->is("zqdt"));
}

TEST(MediaProbe, HeaderWordIsSignedLittleEndian) {
    TempHome home;
    EXPECT_EQ(probe_bytes(home, top_level_header_file(100, 1)).header_word, 1);
    EXPECT_EQ(probe_bytes(home, header_in_moov_file(100, 0x01020304)).header_word, 0x01020304);
    EXPECT_EQ(probe_bytes(home, top_level_header_file(100, 0xFFFFFFFFu)).header_word, -1);
}

TEST(MediaProbe, NothingToStreamIsKindZero) {
    TempHome home;
    EXPECT_FALSE(MediaProbe(home / "missing.mp4"));
    EXPECT_EQ(probe_bytes(home, Bytes{0, 0, 0, 8, 'f', 't', 'y'}).kind, kMediaNotStreamable);
    EXPECT_EQ(probe_bytes(home, concat({padding_box("free", 16), plain_mp4_file(10)})).kind,
              kMediaNotStreamable)
        << "bytes 4 to 7 are neither ftyp nor zqhd";
    Bytes no_media = concat({ftyp(), box("moov", {mvhd(1000, 0)})});
    EXPECT_EQ(probe_bytes(home, no_media).kind, kMediaNotStreamable);
    // A size of 5 ends the walk before the media data.
    Bytes broken = concat({ftyp(), box("moov", {mvhd(1000, 0)}),
                           Bytes{0, 0, 0, 5, 'x', 'x', 'x', 'x'}, padding_box("mdat", 100)});
    EXPECT_EQ(probe_bytes(home, broken).kind, kMediaNotStreamable);
    // Media data claiming more bytes than the file holds: a truncated file.
    Bytes truncated = plain_mp4_file(100);
    truncated.resize(truncated.size() - 10);
    EXPECT_EQ(probe_bytes(home, truncated).kind, kMediaNotStreamable);
}

TEST(MediaProbe, RoomAfterTheMediaData) {
    TempHome home;
    EXPECT_EQ(probe_bytes(home, top_level_header_file(100)).data_box_flag, 0);
    EXPECT_EQ(probe_bytes(home, concat({top_level_header_file(100), padding_box("free", 63)}))
                  .data_box_flag,
              0);
    EXPECT_EQ(probe_bytes(home, concat({top_level_header_file(100), padding_box("free", 64)}))
                  .data_box_flag,
              1);
}

TEST(MediaProbe, SizeZeroAndSixtyFourBitMediaData) {
    TempHome home;
    Bytes open_ended = header_in_moov_file(100);
    const std::size_t media_at = open_ended.size() - 108;
    std::fill_n(open_ended.begin() + media_at, 4, 0);
    MediaProbeResult result = probe_bytes(home, open_ended);
    EXPECT_EQ(result.kind, kMediaHeaderInMoov);
    ASSERT_TRUE(result.media_box);
    EXPECT_TRUE(result.media_box->size_runs_to_end);
    EXPECT_EQ(result.media_box->size, 108u);
    EXPECT_EQ(result.data_box_flag, 0);

    // A 64-bit size, on a sparse file of 5 GiB.
    Bytes head = concat({ftyp(), box("moov", {mvhd(1000, 0), zqhd(0, 10)})});
    const std::uint64_t media_size = 5ull << 30;
    put_be32(head, 1);
    put_text(head, "mdat");
    put_be64(head, media_size);
    write_bytes(home / "big.mp4", head);
    const std::uint64_t total = head.size() - 16 + media_size + 100;
    ASSERT_EQ(::truncate((home / "big.mp4").c_str(), off_t(total)), 0);
    result = MediaProbe(home / "big.mp4").value();
    EXPECT_EQ(result.kind, kMediaHeaderInMoov);
    EXPECT_EQ(result.media_box->size, media_size);
    EXPECT_EQ(result.media_box->header_size, 16u);
    EXPECT_EQ(result.data_box_flag, 1);
}

}  // namespace
}  // namespace wharfkeep
