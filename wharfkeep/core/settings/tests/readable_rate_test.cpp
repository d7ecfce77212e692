#include "wharfkeep/settings/readable_rate.h"

#include <gtest/gtest.h>

namespace wharfkeep::settings {
namespace {

TEST(ReadableRate, ByteAndBitUnitsAndPlainNumbers) {
    EXPECT_EQ(ParseReadableRate("12800"), 12800u);
    EXPECT_EQ(ParseReadableRate("0"), 0u);
    EXPECT_EQ(ParseReadableRate("2MB/s"), 2000000u);
    EXPECT_EQ(ParseReadableRate("2 MB/s"), 2000000u);
    EXPECT_EQ(ParseReadableRate("1.5MiB/s"), 1572864u);
    EXPECT_EQ(ParseReadableRate("0.1MB/s"), 100000u);
    EXPECT_EQ(ParseReadableRate("800kbit/s"), 100000u);
    EXPECT_EQ(ParseReadableRate("800kbps"), 100000u);
    EXPECT_EQ(ParseReadableRate("12bit/s"), 1u) << "rounded down to whole bytes";
    EXPECT_EQ(ParseReadableRate("4294967295"), 4294967295u);
}

TEST(ReadableRate, RefusesWhatIsNoRateOrDoesNotFit) {
    for (const char* text : {"", "fast", "MB/s", "2Mb/s", "2 mb/s", "-1", "1e6", "2MB",
                             "4294967296", "5GB/s", "1..2MB/s"}) {
        EXPECT_EQ(ParseReadableRate(text), std::nullopt) << text;
    }
}

}  // namespace
}  // namespace wharfkeep::settings
