// The LIKE operator of the resource database: SQLite's usual meaning for "%", "_" and
// the escape character, but every literal byte compared exactly, valid UTF-8 or not.

#include <gtest/gtest.h>

#include <string>

#include "../src/byte_exact_like.h"

namespace wharfkeep::detail {
namespace {

TEST(ByteExactLike, WildcardsAndEscapes) {
    EXPECT_TRUE(byte_exact_like("abc", "abc", 0));
    EXPECT_FALSE(byte_exact_like("abc", "abcd", 0));
    EXPECT_FALSE(byte_exact_like("abc", "ABC", 0));
    EXPECT_TRUE(byte_exact_like("a%", "a", 0));
    EXPECT_TRUE(byte_exact_like("a%c", "abbbc", 0));
    EXPECT_TRUE(byte_exact_like("%b%", "abc", 0));
    EXPECT_FALSE(byte_exact_like("%x%", "abc", 0));
    EXPECT_TRUE(byte_exact_like("%ab%ab", "xabyabab", 0));
    EXPECT_TRUE(byte_exact_like("a_c", "abc", 0));
    EXPECT_FALSE(byte_exact_like("a_c", "ac", 0));
    EXPECT_TRUE(byte_exact_like("%", "", 0));
    EXPECT_TRUE(byte_exact_like("", "", 0));
    EXPECT_FALSE(byte_exact_like("_", "", 0));

    EXPECT_TRUE(byte_exact_like("100\\%%", "100%/x", '\\'));
    EXPECT_FALSE(byte_exact_like("100\\%%", "1000/x", '\\'));
    EXPECT_TRUE(byte_exact_like("a\\_b%", "a_b/", '\\'));
    EXPECT_FALSE(byte_exact_like("a\\_b%", "aXb/", '\\'));
    EXPECT_TRUE(byte_exact_like("back\\\\slash%", "back\\slash/", '\\'));
    // Without an escape clause the backslash is an ordinary byte.
    EXPECT_TRUE(byte_exact_like("a\\%", "a\\b", 0));
}

TEST(ByteExactLike, UnderscoreTakesOneWholeCharacter) {
    EXPECT_TRUE(byte_exact_like("caf_", "caf\xc3\xa9", 0));
    EXPECT_FALSE(byte_exact_like("caf__", "caf\xc3\xa9", 0));
    EXPECT_TRUE(byte_exact_like("_\xe6\x96\x87", "\xe4\xb8\xad\xe6\x96\x87", 0));
}

TEST(ByteExactLike, MalformedUtf8IsNeverAWildcard) {
    // SQLite's own LIKE reads both of these as U+FFFD and calls them equal.
    EXPECT_FALSE(byte_exact_like("\xd3\xf5%", "\xf3\xff/film.mp4", 0));
    EXPECT_FALSE(byte_exact_like("/m/\xff%", "/m/\xfe", 0));
    EXPECT_TRUE(byte_exact_like("/m/\xff%", "/m/\xff/x", 0));
    // A literal that ends in the middle of a character is still a byte prefix.
    EXPECT_TRUE(byte_exact_like("a\xc3%", "a\xc3\xa9", 0));
    EXPECT_TRUE(byte_exact_like("a\x80%", "a\x80\x80", 0));
}

}  // namespace
}  // namespace wharfkeep::detail
