#pragma once
// A fresh folder for one test, also serving as WHARFKEEP_HOME while it lives.

#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace peerfeed::testing {

class temp_folder {
public:
    explicit temp_folder(const char* parent = "/tmp") {
        std::string pattern = std::string(parent) + "/wk-cache-XXXXXX";
        path_ = ::mkdtemp(pattern.data());
        ::setenv("WHARFKEEP_HOME", path_.c_str(), 1);
    }
    ~temp_folder() {
        ::unsetenv("WHARFKEEP_HOME");
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    temp_folder(const temp_folder&) = delete;
    temp_folder& operator=(const temp_folder&) = delete;

    const std::filesystem::path& path() const { return path_; }

    void write_profile(const std::string& text) const {
        std::ofstream(path_ / "Wharfkeep.ini") << text;
    }

private:
    std::filesystem::path path_;
};

// Bytes that differ from page to page and within a page, so a wrong offset shows.
inline std::vector<std::uint8_t> pattern_bytes(std::uint64_t offset, std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        const std::uint64_t at = offset + i;
        bytes[i] = static_cast<std::uint8_t>((at * 2654435761u) >> 13 ^ (at >> 16));
    }
    return bytes;
}

inline std::filesystem::path write_pattern_file(const std::filesystem::path& path,
                                                std::uint64_t size) {
    std::ofstream out(path, std::ios::binary);
    constexpr std::size_t chunk = 1 << 20;
    for (std::uint64_t at = 0; at < size; at += chunk) {
        const auto bytes =
            pattern_bytes(at, static_cast<std::size_t>(std::min<std::uint64_t>(chunk, size - at)));
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
    }
    return path;
}

}  // namespace peerfeed::testing
