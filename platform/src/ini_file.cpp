#include "platform/ini_file.h"

#include <ini.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "platform/app_paths.h"

namespace platform {

std::string IniFile::make_key(const std::string& section, const std::string& key) {
    std::string joined = section + '\n' + key;
    std::transform(joined.begin(), joined.end(), joined.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return joined;
}

int IniFile::on_entry(void* self, const char* section, const char* key, const char* value) {
    auto* file = static_cast<IniFile*>(self);
    // The first occurrence of a key wins, as with the classic profile reader.
    file->values_.emplace(make_key(section, key), value);
    return 1;
}

namespace {

// Feeds libinih one line at a time. libinih cuts lines longer than its fixed buffer, which
// would hand back a shortened value (a path cut short names another file); such a line is
// replaced by a comment, so its key reads as absent and the caller's default applies.
struct LineReader {
    std::FILE* stream = nullptr;
    int line_number = 0;
    char* line = nullptr;
    std::size_t capacity = 0;
    std::vector<int> long_lines;
    int longest_line = 0;  // what libinih reads of a line

    ~LineReader() { std::free(line); }

    static char* next(char* buffer, int size, void* self) {
        auto* reader = static_cast<LineReader*>(self);
        ssize_t length = ::getline(&reader->line, &reader->capacity, reader->stream);
        if (length < 0) {
            return nullptr;
        }
        ++reader->line_number;
        if (length >= size) {
            reader->long_lines.push_back(reader->line_number);
            reader->longest_line = size - 1;
            std::snprintf(buffer, static_cast<std::size_t>(size), ";\n");
            return buffer;
        }
        std::memcpy(buffer, reader->line, static_cast<std::size_t>(length) + 1);
        return buffer;
    }
};

}  // namespace

IniFile IniFile::load(const std::filesystem::path& path) {
    IniFile file;
    LineReader reader;
    reader.stream = std::fopen(path.c_str(), "r");
    if (reader.stream == nullptr) {
        return file;
    }
    ini_parse_stream(&LineReader::next, &reader, &IniFile::on_entry, &file);
    std::fclose(reader.stream);
    for (int line : reader.long_lines) {
        std::cerr << path.string() << ": line " << line << " is longer than " << reader.longest_line
                  << " characters and is ignored\n";
    }
    return file;
}

IniFile::Listing IniFile::list(const std::filesystem::path& path) {
    Listing listing;
    LineReader reader;
    reader.stream = std::fopen(path.c_str(), "r");
    if (reader.stream == nullptr) {
        return listing;
    }
    listing.opened = true;
    struct Context {
        Listing& listing;
        LineReader& reader;
    } context{listing, reader};
    // libinih hands over each entry as soon as it has read its line, so the reader's line
    // number is the entry's.
    auto on_entry = [](void* user, const char* section, const char* key, const char* value) {
        auto* context = static_cast<Context*>(user);
        context->listing.entries.push_back({section, key, value, context->reader.line_number});
        return 1;
    };
    listing.first_malformed_line =
        std::max(ini_parse_stream(&LineReader::next, &reader, on_entry, &context), 0);
    std::fclose(reader.stream);
    listing.long_lines = std::move(reader.long_lines);
    return listing;
}

IniFile IniFile::load_app_profile() {
    return load(app_data_file("Wharfkeep.ini"));
}

bool IniFile::has(const std::string& section, const std::string& key) const {
    return values_.count(make_key(section, key)) != 0;
}

std::int64_t IniFile::get_int(const std::string& section, const std::string& key,
                              std::int64_t fallback) const {
    auto found = values_.find(make_key(section, key));
    if (found == values_.end()) {
        return fallback;
    }
    long long parsed = std::strtoll(found->second.c_str(), nullptr, 10);
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(parsed));
}

std::string IniFile::get_string(const std::string& section, const std::string& key,
                                const std::string& fallback) const {
    auto found = values_.find(make_key(section, key));
    return found == values_.end() ? fallback : found->second;
}

}  // namespace platform
