#include "request_reader.h"

#include <algorithm>
#include <string_view>

namespace catalogd {
namespace {

constexpr std::string_view kHeaderEnd = "\r\n\r\n";
constexpr std::string_view kContentLength = "Content-Length";
constexpr std::size_t kContentLengthValueOffset = 15;  // past "Content-Length:"
constexpr std::string_view kListPath = "/urls";
// Far above any accepted length, far below overflow.
constexpr std::int64_t kLengthClamp = std::int64_t{1} << 40;

// Position of `needle` in `haystack`, or npos.
std::size_t find(std::span<const std::uint8_t> haystack, std::string_view needle) {
    auto found =
        std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end(),
                    [](std::uint8_t a, char b) { return a == static_cast<std::uint8_t>(b); });
    return found == haystack.end() ? std::string_view::npos
                                   : static_cast<std::size_t>(found - haystack.begin());
}

std::uint8_t lower(std::uint8_t c) {
    return c >= 'A' && c <= 'Z' ? static_cast<std::uint8_t>(c - 'A' + 'a') : c;
}

// Header lines (after the request line) whose field name is Content-Length in any letter
// case. Two of them make the body's end ambiguous: a proxy in front might take the other
// one and see a second request where this server sees a body.
std::size_t content_length_fields(std::span<const std::uint8_t> header) {
    constexpr std::string_view kField = "content-length:";
    std::size_t count = 0;
    for (std::size_t at = find(header, "\r\n"); at != std::string_view::npos;) {
        std::span<const std::uint8_t> line = header.subspan(at + 2);
        if (line.size() >= kField.size() &&
            std::equal(kField.begin(), kField.end(), line.begin(), [](char a, std::uint8_t b) {
                return static_cast<std::uint8_t>(a) == lower(b);
            })) {
            ++count;
        }
        const std::size_t next = find(line, "\r\n");
        at = next == std::string_view::npos ? next : at + 2 + next;
    }
    return count;
}

bool is_blank(std::uint8_t c) {
    return c == ' ' || c == '\t';
}
bool is_digit(std::uint8_t c) {
    return c >= '0' && c <= '9';
}

}  // namespace

std::int64_t parse_content_length(std::span<const std::uint8_t> text) {
    std::size_t at = 0;
    while (at < text.size() && is_blank(text[at])) {
        ++at;
    }
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        negative = text[at] == '-';
        ++at;
    }
    std::int64_t value = 0;
    for (; at < text.size() && is_digit(text[at]); ++at) {
        value = std::min(value * 10 + (text[at] - '0'), kLengthClamp);
    }
    return negative ? -value : value;
}

RequestOutcome read_request(std::span<const std::uint8_t> buffered) {
    RequestOutcome outcome;
    if (buffered.size() > kMaxBufferedRequest) {
        outcome.kind = RequestKind::drop;
        return outcome;
    }
    std::size_t header_end = find(buffered, kHeaderEnd);
    if (header_end == std::string_view::npos) {
        return outcome;
    }
    std::size_t header_length = header_end + kHeaderEnd.size();
    if (content_length_fields(buffered.first(header_end + 2)) > 1) {
        outcome.kind = RequestKind::bad_request;
        return outcome;
    }

    std::int64_t body_length = 0;
    std::size_t field = find(buffered, kContentLength);
    // A request starts with its method, so a match at offset 0 is no header field.
    if (field != std::string_view::npos && field > 0) {
        std::size_t value_at = std::min(field + kContentLengthValueOffset, buffered.size());
        body_length = parse_content_length(buffered.subspan(value_at));
    }
    // A negative length would make the request shorter than its own header: refuse it.
    if (body_length < 0 || body_length > kMaxRequestBody) {
        outcome.kind = RequestKind::drop;
        return outcome;
    }
    std::size_t whole = header_length + static_cast<std::size_t>(body_length);
    if (buffered.size() < whole) {
        return outcome;
    }

    std::size_t list_path = find(buffered.first(whole), kListPath);
    outcome.kind = (list_path != std::string_view::npos && list_path > 0) ? RequestKind::list_export
                                                                          : RequestKind::query;
    outcome.consumed = whole;
    outcome.body_offset = header_length;
    outcome.body_length = static_cast<std::size_t>(body_length);
    return outcome;
}

}  // namespace catalogd
