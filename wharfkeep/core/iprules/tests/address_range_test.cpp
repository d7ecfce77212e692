// Reading and writing single addresses, CIDR blocks and first-last ranges.

#include <gtest/gtest.h>

#include "wharfkeep/iprules/address_range.h"

namespace wharfkeep::iprules {
namespace {

std::uint32_t Ip(const char* text) {
    return ParseAddress(text).value();
}

AddressRange Parsed(const char* text) {
    RangeParse parsed = ParseRange(text);
    EXPECT_TRUE(parsed.range.has_value()) << text << ": " << parsed.error;
    return parsed.range.value_or(AddressRange{});
}

TEST(ParseAddress, DecimalPartsWithPaddingAndBounds) {
    EXPECT_EQ(ParseAddress("10.0.0.1"), 0x0A000001u);
    EXPECT_EQ(ParseAddress("255.255.255.255"), 0xFFFFFFFFu);
    EXPECT_EQ(ParseAddress("001.002.003.010"), 0x0102030Au);  // padded, decimal not octal
    for (const char* bad : {"", "1.2.3", "1.2.3.4.5", "256.0.0.1", "1.2.3.-4", "1..2.3",
                            "0001.2.3.4", "1.2.3.4 ", "a.b.c.d", "1.2.3.4x", "+1.2.3.4"}) {
        EXPECT_FALSE(ParseAddress(bad).has_value()) << bad;
    }
}

TEST(ParseRange, CidrBlocksIncludingTheExtremes) {
    EXPECT_EQ(Parsed("10.0.0.0/8"), (AddressRange{Ip("10.0.0.0"), Ip("10.255.255.255")}));
    EXPECT_EQ(Parsed("0.0.0.0/0"), (AddressRange{0, 0xFFFFFFFFu}));
    EXPECT_EQ(Parsed("192.168.1.7/32"), (AddressRange{Ip("192.168.1.7"), Ip("192.168.1.7")}));
    EXPECT_EQ(Parsed("172.16.0.0/12"), (AddressRange{Ip("172.16.0.0"), Ip("172.31.255.255")}));
    EXPECT_EQ(Parsed(" 10.0.0.0 / 31 "), (AddressRange{Ip("10.0.0.0"), Ip("10.0.0.1")}));
    EXPECT_TRUE(ParseRange("10.0.0.0/8").note.empty());
}

TEST(ParseRange, HostBitsSetTakeTheWholeBlockAndSaySo) {
    RangeParse parsed = ParseRange("10.1.2.3/8");
    ASSERT_TRUE(parsed.range);
    EXPECT_EQ(*parsed.range, (AddressRange{Ip("10.0.0.0"), Ip("10.255.255.255")}));
    EXPECT_EQ(parsed.note, "host bits set: taken as 10.0.0.0/8");
    // /0 with any address is the whole space.
    EXPECT_EQ(Parsed("203.0.113.9/0"), (AddressRange{0, 0xFFFFFFFFu}));
}

TEST(ParseRange, RangesInEitherOrder) {
    EXPECT_EQ(Parsed("10.0.0.1-10.0.0.9"), (AddressRange{Ip("10.0.0.1"), Ip("10.0.0.9")}));
    EXPECT_EQ(Parsed("10.0.0.1 - 10.0.0.1"), (AddressRange{Ip("10.0.0.1"), Ip("10.0.0.1")}));
    RangeParse reversed = ParseRange("10.0.0.9-10.0.0.1");
    ASSERT_TRUE(reversed.range);
    EXPECT_EQ(*reversed.range, (AddressRange{Ip("10.0.0.1"), Ip("10.0.0.9")}));
    EXPECT_EQ(reversed.note, "reversed: taken as 10.0.0.1-10.0.0.9");
    EXPECT_EQ(Parsed("8.8.8.8"), (AddressRange{Ip("8.8.8.8"), Ip("8.8.8.8")}));
}

TEST(ParseRange, GarbageGetsAReason) {
    const struct {
        const char* text;
        const char* error;
    } cases[] = {
        {"", "no address"},
        {"   ", "no address"},
        {"10.0.0.0/33", "the prefix length after \"/\" must be 0 to 32"},
        {"10.0.0.0/", "the prefix length after \"/\" must be 0 to 32"},
        {"10.0.0.0/-1", "the prefix length after \"/\" must be 0 to 32"},
        {"10.0.0.0/008", "the prefix length after \"/\" must be 0 to 32"},
        {"10.0.0.0/8/8", "the prefix length after \"/\" must be 0 to 32"},
        {"10.0.0/8", "not an IPv4 address before the \"/\""},
        {"10.0.0.1-", "not an IPv4 range \"first-last\""},
        {"10.0.0.1-10.0.0.2-10.0.0.3", "not an IPv4 range \"first-last\""},
        {"-10.0.0.1", "not an IPv4 range \"first-last\""},
        {"2001:db8::/32", "IPv6 addresses are not supported"},
        {"example.com", "not an IPv4 address, CIDR block or range"},
        {"10.0.0.256", "not an IPv4 address, CIDR block or range"},
    };
    for (const auto& each : cases) {
        RangeParse parsed = ParseRange(each.text);
        EXPECT_FALSE(parsed.range.has_value()) << each.text;
        EXPECT_EQ(parsed.error, each.error) << each.text;
    }
}

TEST(FormatRange, ShortestFormReadsBackAsTheSameRange) {
    EXPECT_EQ(FormatRange({Ip("1.2.3.4"), Ip("1.2.3.4")}), "1.2.3.4");
    EXPECT_EQ(FormatRange({0, 0xFFFFFFFFu}), "0.0.0.0/0");
    EXPECT_EQ(FormatRange({Ip("10.0.0.0"), Ip("10.255.255.255")}), "10.0.0.0/8");
    EXPECT_EQ(FormatRange({Ip("10.0.0.1"), Ip("10.0.1.0")}), "10.0.0.1-10.0.1.0");
    // Aligned size but not aligned start: no CIDR form.
    EXPECT_EQ(FormatRange({Ip("10.0.0.2"), Ip("10.0.0.5")}), "10.0.0.2-10.0.0.5");
    for (const AddressRange range : {AddressRange{0, 0}, AddressRange{0xFFFFFFFFu, 0xFFFFFFFFu},
                                     AddressRange{Ip("10.0.0.128"), Ip("10.0.0.255")},
                                     AddressRange{Ip("10.0.0.3"), Ip("200.1.0.0")}}) {
        EXPECT_EQ(Parsed(FormatRange(range).c_str()), range) << FormatRange(range);
    }
}

}  // namespace
}  // namespace wharfkeep::iprules
