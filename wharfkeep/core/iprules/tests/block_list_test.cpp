// Block-list files in the three common formats, with what was taken, merged and refused.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include <string>

#include "wharfkeep/iprules/block_list.h"
#include "wharfkeep/iprules/range_set.h"

namespace wharfkeep::iprules {
namespace {

std::uint32_t Ip(const char* text) {
    return ParseAddress(text).value();
}

TEST(BlockList, EachFormatAndCommentsMixedInOneFile) {
    const BlockList list = ParseBlockList(
        "\xEF\xBB\xBF# downloaded list\r\n"
        "10.0.0.0/8\r\n"
        "\r\n"
        "Bad Corp, Inc: the west office:1.2.3.0-1.2.3.255\n"
        "  001.002.004.000 - 001.002.004.255 , 000 , Neighbour, adjacent\n"
        "; another comment\n"
        "// and another\n"
        "192.168.0.1-192.168.0.1\n"
        "8.8.8.8");  // no newline at the end
    const BlockListReport& report = list.report;
    EXPECT_EQ(report.lines, 9u);
    EXPECT_EQ(report.skipped, 4u);
    EXPECT_EQ(report.taken, 5u);
    EXPECT_EQ(report.refused, 0u);
    EXPECT_EQ(report.merged, 1u);  // 1.2.3.x and 1.2.4.x are adjacent
    EXPECT_EQ(list.ranges, (std::vector<AddressRange>{
                               {Ip("1.2.3.0"), Ip("1.2.4.255")},
                               {Ip("8.8.8.8"), Ip("8.8.8.8")},
                               {Ip("10.0.0.0"), Ip("10.255.255.255")},
                               {Ip("192.168.0.1"), Ip("192.168.0.1")},
                           }));
}

TEST(BlockList, RefusedLinesCarryTheirNumberAndReason) {
    const BlockList list = ParseBlockList(
        "10.0.0.0/33\n"
        "fe80::1/64\n"
        "Some org:nothing here\n"
        "1.2.3.4 - 1.2.3.9 , 200 , allowed by the list\n"
        "1.2.3.4 - 1.2.3.9 , high , bad level\n"
        "1.2.3.4 - 1.2.3.9 ,, empty level\n"
        "example.com\n"
        "10.1.2.3/16\n"
        "5.6.7.8 - 5.6.7.1 , 100 , reversed is fine\n"
        "1.2.3.4 - 1.2.3.9 , 127 , highest blocking level\n");
    EXPECT_EQ(list.report.taken, 3u);
    EXPECT_EQ(list.report.refused, 7u);
    EXPECT_EQ(list.report.refusals,
              (std::vector<RefusedLine>{
                  {1, "the prefix length after \"/\" must be 0 to 32"},
                  {2, "IPv6 addresses are not supported"},
                  {3, "no range after the last \":\" (description:first-last)"},
                  {4, "level 200 is above 127: the list lets this range through"},
                  {5, "the level after the range must be a number 0 to 255"},
                  {6, "the level after the range must be a number 0 to 255"},
                  {7, "not an IPv4 address, CIDR block or range"},
              }));
    EXPECT_EQ(list.report.notes, (std::vector<RefusedLine>{
                                     {8, "host bits set: taken as 10.1.0.0/16"},
                                     {9, "reversed: taken as 5.6.7.1-5.6.7.8"},
                                 }));
    const std::string text = DescribeReport(list.report);
    EXPECT_NE(text.find("10 lines: 3 taken (0 merged), 7 refused, 0 blank or comment\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("line 4: refused: level 200 is above 127"), std::string::npos);
    EXPECT_NE(text.find("line 8: host bits set"), std::string::npos);
}

TEST(BlockList, HostileBytesAreBoundedAndRefused) {
    std::string bytes(kMaxLineLength + 1, '1');
    bytes += "\n";
    bytes += std::string("1.2.3.4\0junk\n", 13);
    for (std::size_t i = 0; i < kListedRefusals + 5; ++i) {
        bytes += "x\n";
    }
    const BlockList list = ParseBlockList(bytes);
    EXPECT_EQ(list.report.refused, kListedRefusals + 7);
    EXPECT_EQ(list.report.refusals.size(), kListedRefusals);  // the listing stays bounded
    EXPECT_EQ(list.report.refusals[0].reason, "line longer than 4096 bytes");
    EXPECT_EQ(list.report.refusals[1].line, 2u);
    EXPECT_TRUE(list.ranges.empty());
    EXPECT_NE(DescribeReport(list.report).find("... and 7 more refused lines"), std::string::npos);
    EXPECT_EQ(ParseBlockList("").report.lines, 0u);
}

// The size of the lists operators load: 300,000 lines in the level format, half of them
// overlapping their neighbour, all taken and merged into the expected number of rows.
TEST(BlockList, ThreeHundredThousandLines) {
    std::string bytes;
    const std::uint32_t base = Ip("11.0.0.0");
    for (std::uint32_t i = 0; i < 300000; ++i) {
        const std::uint32_t first = base + i * 16;
        const std::uint32_t last = first + (i % 2 == 0 ? 11 : 7);  // even ones reach the next
        bytes += FormatAddress(first) + " - " + FormatAddress(last) + " , 000 , entry " +
                 std::to_string(i) + "\n";
    }
    const BlockList list = ParseBlockList(bytes);
    EXPECT_EQ(list.report.taken, 300000u);
    EXPECT_EQ(list.report.refused, 0u);
    // Rows 16 apart, so none touches: nothing merges.
    EXPECT_EQ(list.ranges.size(), 300000u);
    const RangeSet set(list.ranges);
    EXPECT_TRUE(set.Contains(base + 16 * 1234 + 11));
    EXPECT_FALSE(set.Contains(base + 16 * 1234 + 12));
    EXPECT_FALSE(set.Contains(base + 16 * 1235 + 8));
}

// Only regular files are read: a FIFO would block the reader for ever.
TEST(BlockListFile, RegularFilesOnly) {
    std::string folder = (std::filesystem::temp_directory_path() / "wk-blocklist-XXXXXX").string();
    ASSERT_NE(mkdtemp(folder.data()), nullptr);
    const std::filesystem::path list = std::filesystem::path(folder) / "list.txt";
    std::ofstream(list) << "10.0.0.0/8\n";
    std::string error;
    EXPECT_EQ(ReadBlockListFile(list, error), "10.0.0.0/8\n");
    std::ofstream(std::filesystem::path(folder) / "empty.txt");
    EXPECT_EQ(ReadBlockListFile(std::filesystem::path(folder) / "empty.txt", error), "");
    const std::filesystem::path fifo = std::filesystem::path(folder) / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_FALSE(ReadBlockListFile(fifo, error));
    EXPECT_EQ(error, "not a regular file");
    EXPECT_FALSE(ReadBlockListFile(folder, error));
    EXPECT_FALSE(ReadBlockListFile(std::filesystem::path(folder) / "missing", error));
    std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace wharfkeep::iprules
