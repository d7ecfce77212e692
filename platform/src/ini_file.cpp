#include "platform/ini_file.h"

#include <ini.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>

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

IniFile IniFile::load(const std::filesystem::path& path) {
    IniFile file;
    if (ini_parse(path.c_str(), &IniFile::on_entry, &file) < 0) {
        file.values_.clear();
    }
    return file;
}

IniFile IniFile::load_app_profile() { return load(app_data_file("Wharfkeep.ini")); }

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
