#include "byte_exact_like.h"

#include <sqlite3.h>

#include <cstddef>

namespace wharfkeep::detail {
namespace {

bool is_continuation(unsigned char byte) {
    return (byte & 0xC0) == 0x80;
}

// The length of the character that starts at `at`: its first byte and the continuation
// bytes after it. A stray continuation byte counts as a character of its own.
std::size_t character_length(std::string_view text, std::size_t at) {
    std::size_t end = at + 1;
    while (end < text.size() && is_continuation(static_cast<unsigned char>(text[end]))) {
        ++end;
    }
    return end - at;
}

// Matches a literal run of the pattern (no "%") at the start of `text`; on success
// `consumed` holds the bytes of text used.
bool match_segment(std::string_view pattern, std::string_view text, char escape,
                   std::size_t& consumed) {
    std::size_t p = 0;
    std::size_t t = 0;
    while (p < pattern.size()) {
        const char c = pattern[p];
        if (escape != 0 && c == escape && p + 1 < pattern.size()) {
            const std::size_t length = character_length(pattern, p + 1);
            if (text.substr(t, length) != pattern.substr(p + 1, length)) {
                return false;
            }
            p += 1 + length;
            t += length;
        } else if (c == '_') {
            if (t >= text.size()) {
                return false;
            }
            t += character_length(text, t);
            ++p;
        } else {
            if (t >= text.size() || text[t] != c) {
                return false;
            }
            ++p;
            ++t;
        }
    }
    consumed = t;
    return true;
}

// The end of the segment that starts at `at`: the next unescaped "%" or the end.
std::size_t segment_end(std::string_view pattern, std::size_t at, char escape) {
    while (at < pattern.size() && pattern[at] != '%') {
        if (escape != 0 && pattern[at] == escape && at + 1 < pattern.size()) {
            at += 1 + character_length(pattern, at + 1);
        } else {
            ++at;
        }
    }
    return at;
}

void like_function(sqlite3_context* context, int argc, sqlite3_value** argv) {
    // A NULL operand makes the result NULL, as with SQLite's own LIKE.
    if (sqlite3_value_type(argv[0]) == SQLITE_NULL || sqlite3_value_type(argv[1]) == SQLITE_NULL) {
        return;
    }
    const auto* pattern_text = reinterpret_cast<const char*>(sqlite3_value_text(argv[0]));
    const std::string_view pattern(pattern_text, sqlite3_value_bytes(argv[0]));
    if (static_cast<int>(pattern.size()) >
        sqlite3_limit(sqlite3_context_db_handle(context), SQLITE_LIMIT_LIKE_PATTERN_LENGTH, -1)) {
        sqlite3_result_error(context, "LIKE or GLOB pattern too complex", -1);
        return;
    }
    char escape = 0;
    if (argc == 3) {
        const auto* escape_text = reinterpret_cast<const char*>(sqlite3_value_text(argv[2]));
        if (escape_text == nullptr || sqlite3_value_bytes(argv[2]) != 1) {
            sqlite3_result_error(context, "ESCAPE expression must be a single character", -1);
            return;
        }
        escape = escape_text[0];
    }
    const auto* text = reinterpret_cast<const char*>(sqlite3_value_text(argv[1]));
    sqlite3_result_int(
        context,
        byte_exact_like(pattern, std::string_view(text, sqlite3_value_bytes(argv[1])), escape));
}

constexpr std::size_t kNoMatch = std::string_view::npos;

// Tries `segment` at each character of `text` from `from` on (that is what a "%" before it
// allows) and returns the end of the first match, or kNoMatch. With `must_end` only a match
// that ends the text counts.
std::size_t find_segment(std::string_view segment, std::string_view text, std::size_t from,
                         char escape, bool must_end) {
    for (std::size_t at = from; at <= text.size();
         at += at < text.size() ? character_length(text, at) : 1) {
        std::size_t consumed = 0;
        if (match_segment(segment, text.substr(at), escape, consumed) &&
            (!must_end || at + consumed == text.size())) {
            return at + consumed;
        }
    }
    return kNoMatch;
}

}  // namespace

// The pattern is split at its "%" signs into literal segments. The first segment must
// match at the start of the text, the last one at its end, and each one between at the
// earliest place it fits: taking the earliest place never loses a match, so the walk
// needs no backtracking beyond one segment.
bool byte_exact_like(std::string_view pattern, std::string_view text, char escape) {
    std::size_t end = segment_end(pattern, 0, escape);
    std::size_t t = 0;
    if (!match_segment(pattern.substr(0, end), text, escape, t)) {
        return false;
    }
    if (end == pattern.size()) {
        return t == text.size();
    }
    while (true) {
        const std::size_t p = end + 1;
        end = segment_end(pattern, p, escape);
        const bool last = end == pattern.size();
        if (last && p == end) {
            return true;  // a trailing "%" takes whatever is left
        }
        t = find_segment(pattern.substr(p, end - p), text, t, escape, last);
        if (t == kNoMatch) {
            return false;
        }
        if (last) {
            return true;
        }
    }
}

bool install_byte_exact_like(sqlite3* db) {
    constexpr int flags = SQLITE_UTF8 | SQLITE_DETERMINISTIC | SQLITE_INNOCUOUS;
    return sqlite3_create_function_v2(db, "like", 2, flags, nullptr, like_function, nullptr,
                                      nullptr, nullptr) == SQLITE_OK &&
           sqlite3_create_function_v2(db, "like", 3, flags, nullptr, like_function, nullptr,
                                      nullptr, nullptr) == SQLITE_OK;
}

}  // namespace wharfkeep::detail
