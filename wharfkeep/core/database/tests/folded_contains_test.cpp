// The media list's text filter: ASCII letters in either case, every other byte exact.

#include <gtest/gtest.h>

#include "../src/folded_contains.h"

namespace wharfkeep::detail {
namespace {

TEST(FoldedContains, AsciiLettersInEitherCaseOtherBytesExact) {
    EXPECT_TRUE(contains_folded("/srv/Videos/Harbour.MP4", "harbour.mp4"));
    EXPECT_TRUE(contains_folded("/srv/videos/x.mp4", ""));
    EXPECT_TRUE(contains_folded("ABCDEF0123", "f01"));
    EXPECT_FALSE(contains_folded("/srv/videos", "videos/"));
    EXPECT_FALSE(contains_folded("", "a"));
    // The needle is folded by the caller: an upper-case letter in it never matches.
    EXPECT_FALSE(contains_folded("Harbour", "Harbour"));
    // Bytes above 0x7F are not letters to fold: "É" (C3 89) is not "é" (C3 A9).
    EXPECT_TRUE(contains_folded("caf\xc3\xa9", "\xc3\xa9"));
    EXPECT_FALSE(contains_folded("CAF\xc3\x89", "caf\xc3\xa9"));
}

}  // namespace
}  // namespace wharfkeep::detail
