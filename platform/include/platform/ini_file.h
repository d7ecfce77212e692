#pragma once
// A read-only INI file in the manner of the classic private profile calls: sections and
// keys are case-insensitive, a missing file or key yields the caller's default.

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace platform {

class IniFile {
public:
    IniFile() = default;
    // Loads `path`; a file that is missing or unreadable gives an empty profile.
    static IniFile load(const std::filesystem::path& path);
    // Loads "Wharfkeep.ini" from the application-data folder.
    static IniFile load_app_profile();

    // Every entry of `path` in file order with its line, for checking a file: where
    // `load` keeps the first of duplicate keys, this keeps them all.
    struct Entry {
        std::string section;
        std::string key;
        std::string value;
        int line = 0;
    };
    struct Listing {
        bool opened = false;
        std::vector<Entry> entries;
        // Lines that are neither a section, a key with a value nor a comment (the first
        // one libinih reports), and lines too long to read, which count as comments.
        int first_malformed_line = 0;
        std::vector<int> long_lines;
    };
    static Listing list(const std::filesystem::path& path);

    bool has(const std::string& section, const std::string& key) const;
    // The leading decimal integer of the value (sign allowed, as strtoll reads it; 0 when
    // the value has no digits), truncated to 32 bits like the classic call; `fallback`
    // when the key is absent.
    std::int64_t get_int(const std::string& section, const std::string& key,
                         std::int64_t fallback) const;
    std::string get_string(const std::string& section, const std::string& key,
                           const std::string& fallback) const;

private:
    static std::string make_key(const std::string& section, const std::string& key);
    static int on_entry(void* self, const char* section, const char* key, const char* value);

    std::map<std::string, std::string> values_;
};

}  // namespace platform
