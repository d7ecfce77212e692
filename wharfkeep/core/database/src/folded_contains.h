// A substring search that ignores the case of ASCII letters, as an SQL function for the
// media list's text filter.
//
// instr(lower(column), ?) gives the same answer, but lower() copies every value it is given
// (twice per row: the path and the CID) before instr looks at it; over a list of 100,000
// rows those copies were most of the filter's time.
#pragma once

#include <string_view>

struct sqlite3;

namespace wharfkeep::detail {

// Whether `needle` (ASCII letters in lower case) occurs in `text`, ASCII letters of `text`
// compared in lower case and every other byte as it is. An empty needle occurs everywhere.
bool contains_folded(std::string_view text, std::string_view needle);

// Adds contains_folded(TEXT, NEEDLE) to `db`: 1 or 0, NULL when either is NULL. Only
// queries use it, never the schema, so that any SQLite program can still write the rows.
bool install_contains_folded(sqlite3* db);

}  // namespace wharfkeep::detail
