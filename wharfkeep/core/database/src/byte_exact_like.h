// A LIKE operator that compares file paths byte for byte.
//
// SQLite's own LIKE decodes its operands as UTF-8 and turns every malformed sequence
// into U+FFFD, so two different non-UTF-8 file names (which Linux allows) would match
// each other, and a directory prefix could reach another directory's files.
#pragma once

#include <string_view>

struct sqlite3;

namespace wharfkeep::detail {

// Whether `text` matches the LIKE `pattern`: "%" matches any run of characters, "_"
// one character (a lead byte and its continuation bytes), `escape` (0 for none) makes
// the next character literal, and every literal byte must be equal, case included.
bool byte_exact_like(std::string_view pattern, std::string_view text, char escape);

// Replaces like(X,Y) and like(X,Y,Z) of `db` with byte_exact_like. Returns false when
// SQLite refused the functions.
bool install_byte_exact_like(sqlite3* db);

}  // namespace wharfkeep::detail
