#include "folded_contains.h"

#include <sqlite3.h>

#include <algorithm>

namespace wharfkeep::detail {
namespace {

char folded(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

void contains_folded_function(sqlite3_context* context, int, sqlite3_value** values) {
    if (sqlite3_value_type(values[0]) == SQLITE_NULL ||
        sqlite3_value_type(values[1]) == SQLITE_NULL) {
        sqlite3_result_null(context);
        return;
    }
    // Text first, then its length: the order SQLite documents for reading a value.
    const auto* text = reinterpret_cast<const char*>(sqlite3_value_text(values[0]));
    const std::string_view haystack(text, static_cast<std::size_t>(sqlite3_value_bytes(values[0])));
    const auto* needle = reinterpret_cast<const char*>(sqlite3_value_text(values[1]));
    const std::string_view wanted(needle, static_cast<std::size_t>(sqlite3_value_bytes(values[1])));
    sqlite3_result_int(context, contains_folded(haystack, wanted) ? 1 : 0);
}

}  // namespace

bool contains_folded(std::string_view text, std::string_view needle) {
    return std::search(text.begin(), text.end(), needle.begin(), needle.end(),
                       [](char a, char b) { return folded(a) == b; }) != text.end();
}

bool install_contains_folded(sqlite3* db) {
    constexpr int flags = SQLITE_UTF8 | SQLITE_DETERMINISTIC | SQLITE_INNOCUOUS;
    return sqlite3_create_function_v2(db, "contains_folded", 2, flags, nullptr,
                                      contains_folded_function, nullptr, nullptr,
                                      nullptr) == SQLITE_OK;
}

}  // namespace wharfkeep::detail
