#pragma once
// The whole content of a file that a test or the program under test wrote.

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace platform::testing {

// Empty when the file cannot be read.
inline std::string file_text(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace platform::testing
