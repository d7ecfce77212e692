#include "wharfkeep/iprules/block_list.h"

#include <algorithm>
#include <charconv>
#include <fstream>
#include <iterator>

#include "text_scan.h"
#include "wharfkeep/iprules/range_set.h"

namespace wharfkeep::iprules {
namespace {

// In "first - last , level , description" lists, ranges up to this level are blocked; a
// higher level lets the range through.
constexpr unsigned kHighestBlockingLevel = 127;

bool IsComment(std::string_view line) {
    return line.starts_with('#') || line.starts_with(';') || line.starts_with("//");
}

// Text made only of what IPv6 addresses and blocks are written with, with at least two
// colons: no other format here has that.
bool LooksLikeIpv6(std::string_view line) {
    return line.find_first_not_of("0123456789abcdefABCDEF:./") == std::string_view::npos &&
           std::count(line.begin(), line.end(), ':') >= 2;
}

RangeParse Refusal(std::string reason) {
    RangeParse result;
    result.error = std::move(reason);
    return result;
}

// "first - last , level , description": the range, then the level that decides.
RangeParse ParseLevelLine(std::string_view line) {
    const std::size_t comma = line.find(',');
    RangeParse result = ParseRange(line.substr(0, comma));
    if (!result.range) {
        return result;
    }
    std::string_view level_text = line.substr(comma + 1);
    level_text = TrimBlanks(level_text.substr(0, level_text.find(',')));
    unsigned level = 0;
    const char* end = level_text.data() + level_text.size();
    auto [next, error] = std::from_chars(level_text.data(), end, level);
    if (error != std::errc() || next != end || level_text.empty() || level > 255) {
        return Refusal("the level after the range must be a number 0 to 255");
    }
    if (level > kHighestBlockingLevel) {
        return Refusal("level " + std::to_string(level) +
                       " is above 127: the list lets this range through");
    }
    return result;
}

// One line that is neither blank nor a comment.
RangeParse ParseListLine(std::string_view line) {
    if (LooksLikeIpv6(line)) {
        return Refusal("IPv6 addresses are not supported");
    }
    // "description:first-last"; the description may itself hold colons and commas.
    if (const std::size_t colon = line.rfind(':'); colon != std::string_view::npos) {
        RangeParse result = ParseRange(line.substr(colon + 1));
        if (result.range || line.find(',') == std::string_view::npos) {
            if (!result.range) {
                result.error = "no range after the last \":\" (description:first-last)";
            }
            return result;
        }
    }
    if (line.find(',') != std::string_view::npos) {
        return ParseLevelLine(line);
    }
    return ParseRange(line);
}

void Record(std::vector<RefusedLine>& list, std::size_t line, std::string reason) {
    if (list.size() < kListedRefusals) {
        list.push_back({line, std::move(reason)});
    }
}

}  // namespace

BlockList ParseBlockList(std::string_view bytes) {
    BlockList list;
    BlockListReport& report = list.report;
    if (bytes.starts_with("\xEF\xBB\xBF")) {
        bytes.remove_prefix(3);
    }
    while (!bytes.empty()) {
        const std::size_t newline = bytes.find('\n');
        std::string_view raw = bytes.substr(0, newline);
        bytes.remove_prefix(newline == std::string_view::npos ? bytes.size() : newline + 1);
        const std::size_t number = ++report.lines;

        if (raw.size() > kMaxLineLength) {
            ++report.refused;
            Record(report.refusals, number, "line longer than 4096 bytes");
            continue;
        }
        const std::string_view line = TrimBlanks(raw);
        if (line.empty() || IsComment(line)) {
            ++report.skipped;
            continue;
        }
        RangeParse parsed = ParseListLine(line);
        if (!parsed.range) {
            ++report.refused;
            Record(report.refusals, number, std::move(parsed.error));
            continue;
        }
        ++report.taken;
        if (!parsed.note.empty()) {
            Record(report.notes, number, std::move(parsed.note));
        }
        list.ranges.push_back(*parsed.range);
    }
    list.ranges = MergeRanges(std::move(list.ranges));
    report.merged = report.taken - list.ranges.size();
    return list;
}

std::optional<std::string> ReadBlockListFile(const std::filesystem::path& path,
                                             std::string& error) {
    std::error_code status_error;
    if (!std::filesystem::is_regular_file(path, status_error)) {
        error = "not a regular file";
        return std::nullopt;
    }
    const std::uintmax_t size = std::filesystem::file_size(path, status_error);
    if (status_error || size > kLargestBlockListFile) {
        error = status_error ? status_error.message() : "larger than 512 MiB";
        return std::nullopt;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot be opened";
        return std::nullopt;
    }
    std::string bytes;
    bytes.reserve(static_cast<std::size_t>(size));
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad() || bytes.size() > kLargestBlockListFile) {
        error = "cannot be read";
        return std::nullopt;
    }
    return bytes;
}

std::string DescribeReport(const BlockListReport& report) {
    std::string text = std::to_string(report.lines) + " lines: " + std::to_string(report.taken) +
                       " taken (" + std::to_string(report.merged) + " merged), " +
                       std::to_string(report.refused) + " refused, " +
                       std::to_string(report.skipped) + " blank or comment\n";
    for (const RefusedLine& note : report.notes) {
        text += "line " + std::to_string(note.line) + ": " + note.reason + "\n";
    }
    for (const RefusedLine& refusal : report.refusals) {
        text += "line " + std::to_string(refusal.line) + ": refused: " + refusal.reason + "\n";
    }
    if (report.refused > report.refusals.size()) {
        text += "... and " + std::to_string(report.refused - report.refusals.size()) +
                " more refused lines\n";
    }
    return text;
}

}  // namespace wharfkeep::iprules
