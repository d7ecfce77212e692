#pragma once
// Shared pieces of the engine tests: a fresh application-data folder, hand-made
// restructured files, independent digests and the fields of a link.

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "temp_folder.h"
#include "test_bytes.h"

namespace wharfkeep::test {

// A fresh folder set as WHARFKEEP_HOME for the life of the object.
using TempHome = platform::testing::TempHome;

Bytes read_bytes(const std::filesystem::path& path);
void write_bytes(const std::filesystem::path& path, const Bytes& bytes);

// A file with a top-level streaming header (10 s) and `payload` bytes of media data, with
// nothing after it.
Bytes top_level_header_file(std::uint32_t payload, std::uint32_t header_word = 0);
// ftyp, a movie box with a streaming header child, media data; nothing after it.
Bytes header_in_moov_file(std::uint32_t payload, std::uint32_t header_word = 0);
// ftyp, a movie box without a streaming header, media data.
Bytes plain_mp4_file(std::uint32_t payload);

std::string sha1_hex(const Bytes& bytes);
std::vector<std::uint8_t> sha1(const Bytes& bytes);
std::vector<std::uint8_t> md5(const Bytes& bytes);
std::string hex(const std::vector<std::uint8_t>& bytes);

// The plain url of a link (substitution undone) and its query fields; "host" holds the
// part before "/s?", "sid", "key" and "name" the link's own fields.
std::map<std::string, std::string> link_fields(const std::string& link);

// A library built beside the tests (in the library folder).
std::filesystem::path test_library(const std::string& name);

}  // namespace wharfkeep::test
