#pragma once
// The cache tests' helpers: a temporary home with a profile, and recognisable page bytes.

#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "temp_folder.h"

namespace peerfeed::testing {

class temp_folder : public platform::testing::TempHome {
public:
    explicit temp_folder(const char* parent = "/tmp") : TempHome("wk-cache", parent) {}

    void write_profile(const std::string& text) const {
        std::ofstream(path() / "Wharfkeep.ini") << text;
    }
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
