#pragma once
// Temporary files for the digest tests, and independent one-shot hashes to compare with.

#include <openssl/evp.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "temp_folder.h"

namespace wharfkeep::testing {

using TempFolder = platform::testing::TempFolder;

inline std::vector<std::uint8_t> random_bytes(std::size_t length, unsigned seed) {
    std::mt19937 generator(seed);
    std::vector<std::uint8_t> bytes(length);
    for (auto& byte : bytes) {
        byte = static_cast<std::uint8_t>(generator());
    }
    return bytes;
}

inline void write_file(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

template <std::size_t N>
std::array<std::uint8_t, N> one_shot(const EVP_MD* algorithm, const std::uint8_t* data,
                                     std::size_t length) {
    std::array<std::uint8_t, N> digest{};
    unsigned int written = 0;
    EVP_Digest(data, length, digest.data(), &written, algorithm, nullptr);
    return digest;
}

inline std::array<std::uint8_t, 20> sha1_of(const std::vector<std::uint8_t>& bytes) {
    return one_shot<20>(EVP_sha1(), bytes.data(), bytes.size());
}

inline std::array<std::uint8_t, 16> md5_of(const std::uint8_t* data, std::size_t length) {
    return one_shot<16>(EVP_md5(), data, length);
}

}  // namespace wharfkeep::testing
