#include <gtest/gtest.h>

#include "engine_test_support.h"
#include "wharfkeep/engine/stream_description.h"
#include "wharfkeep/my_exception.h"

namespace wharfkeep {
namespace {

std::uint32_t le32(const std::vector<std::uint8_t>& b, std::size_t at) {
    return std::uint32_t(b[at]) | (std::uint32_t(b[at + 1]) << 8) |
           (std::uint32_t(b[at + 2]) << 16) | (std::uint32_t(b[at + 3]) << 24);
}

TEST(StreamDescription, FieldsInOrderLittleEndian) {
    Sha1Digest check;
    check.fill(0xCC);
    GcidBytes gcid;
    gcid.fill(0x99);
    PieceDigestMap pieces;
    pieces[{10, 5, 0}] = {1, Md5Digest{0x22}};
    pieces[{0, 10, 0}] = {0, Md5Digest{0x11}};
    const auto bytes = BuildStreamDescription(check, 0x1'2345'6789ull, gcid, pieces);
    ASSERT_EQ(bytes.size(), 68u + 2 * 24);
    EXPECT_EQ(le32(bytes, 0), 0u);
    EXPECT_EQ(le32(bytes, 4), 0u);
    EXPECT_EQ(le32(bytes, 8), 20u);
    EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin() + 12, bytes.begin() + 32),
              std::vector<std::uint8_t>(20, 0xCC));
    EXPECT_EQ(le32(bytes, 32), 0x23456789u);
    EXPECT_EQ(le32(bytes, 36), 0x1u);
    EXPECT_EQ(le32(bytes, 40), 20u);
    EXPECT_EQ(bytes[44], 0x99);
    EXPECT_EQ(le32(bytes, 64), 2u);
    // Pieces by offset: [0, 10) first.
    EXPECT_EQ(le32(bytes, 68), 16u);
    EXPECT_EQ(bytes[72], 0x11);
    EXPECT_EQ(le32(bytes, 88), 10u);
    EXPECT_EQ(bytes[96], 0x22);
    EXPECT_EQ(le32(bytes, 112), 5u);
}

TEST(StreamDescription, TooManyPiecesDoNotFit) {
    PieceDigestMap pieces;
    for (std::uint64_t i = 0; i < (kStreamDescriptionCapacity - 68) / 24 + 1; ++i) {
        pieces[{i, 1, 0}] = {};
    }
    try {
        BuildStreamDescription({}, 0, {}, pieces);
        FAIL();
    } catch (const CMyException& error) {
        EXPECT_EQ(error.message(), "AESEncrypt Fail!");
    }
    pieces.erase(pieces.begin());
    EXPECT_EQ(BuildStreamDescription({}, 0, {}, pieces).size(), 68 + pieces.size() * 24);
}

TEST(StreamDescription, WrittenWholeOrNotAtAll) {
    test::TempHome home;
    const auto path = home / "clip.mp4.sts";
    WriteStreamDescription(path, {1, 2, 3});
    WriteStreamDescription(path, {4, 5});
    EXPECT_EQ(test::read_bytes(path), (std::vector<std::uint8_t>{4, 5}));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(home.path()),
                            std::filesystem::directory_iterator()),
              1)
        << "no temporary file left behind";
    try {
        WriteStreamDescription(home / "missing-dir" / "x.sts", {1});
        FAIL();
    } catch (const CMyException& error) {
        EXPECT_EQ(error.message(), "The file ponit is null");
    }
}

}  // namespace
}  // namespace wharfkeep
