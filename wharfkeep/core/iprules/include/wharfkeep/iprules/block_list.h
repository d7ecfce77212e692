#pragma once
// Reading block-list files as operators download them, in the three common line formats:
//
//   10.0.0.0/8                                    one CIDR block, range or address per line
//   10.0.0.1-10.0.0.9
//   Some description:1.2.3.0-1.2.3.255            "description:first-last"
//   001.002.003.000 - 001.002.003.255 , 000 , Some description
//                                                 "first - last , level , description"
//
// Formats may be mixed line by line. Blank lines and comments ("#", "//" or ";" first) are
// skipped. In the third format a level above 127 marks a range that the list allows rather
// than blocks; such lines are refused with that reason. The bytes are untrusted: any line
// that is not one of the above is refused with its number and reason, never guessed at.

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "wharfkeep/iprules/address_range.h"

namespace wharfkeep::iprules {

struct RefusedLine {
    std::size_t line = 0;  // counted from 1
    std::string reason;
    bool operator==(const RefusedLine&) const = default;
};

struct BlockListReport {
    std::size_t lines = 0;    // lines read
    std::size_t skipped = 0;  // blank lines and comments
    std::size_t taken = 0;    // lines that gave a range
    // Taken ranges that ended up inside another (duplicates, overlaps, adjacent ranges, or
    // ranges the list already held): they add no row of their own.
    std::size_t merged = 0;
    std::size_t refused = 0;
    // The first kListedRefusals refused lines; `refused` counts them all.
    std::vector<RefusedLine> refusals;
    // Notes on lines that were taken but changed ("host bits set"), bounded the same way.
    std::vector<RefusedLine> notes;
};

inline constexpr std::size_t kListedRefusals = 1000;
// A longer line is refused without being looked at.
inline constexpr std::size_t kMaxLineLength = 4096;

struct BlockList {
    std::vector<AddressRange> ranges;  // merged: ascending, disjoint, non-adjacent
    BlockListReport report;
};

BlockList ParseBlockList(std::string_view bytes);

// Files larger than this are refused before reading: no real list comes near it.
inline constexpr std::uintmax_t kLargestBlockListFile = 512u << 20;

// The bytes of a block-list file, or nothing with `error` set when it is not a regular file
// (a FIFO or a device would block or never end), is too large or cannot be read.
std::optional<std::string> ReadBlockListFile(const std::filesystem::path& path, std::string& error);

// A report as the CLI and the window show it: one summary line, then one line per refusal
// ("line 12: not an IPv4 address or range").
std::string DescribeReport(const BlockListReport& report);

}  // namespace wharfkeep::iprules
