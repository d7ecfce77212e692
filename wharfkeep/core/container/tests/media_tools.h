#pragma once
// Temporary folders, files and ffmpeg for the tests that need real media.

#include <stdlib.h>
#include <sys/wait.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "temp_folder.h"

namespace wharfkeep::test {

using TempDir = platform::testing::TempFolder;

inline std::vector<std::uint8_t> read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void write_file(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

// Runs a shell command; its standard output, or nothing when it failed.
inline bool run_command(const std::string& command, std::string* output = nullptr) {
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) {
        return false;
    }
    std::string text;
    char chunk[4096];
    std::size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) {
        text.append(chunk, n);
    }
    const int status = ::pclose(pipe);
    if (output) {
        *output = std::move(text);
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A few seconds of H.264 video with AAC audio; `extra` goes before the output name.
inline bool make_media(const std::filesystem::path& out, const std::string& extra,
                       int seconds = 3) {
    const std::string duration = std::to_string(seconds);
    return run_command(
        "ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=160x120:rate=25:duration=" +
        duration + " -f lavfi -i sine=frequency=440:duration=" + duration +
        " -c:v libx264 -preset ultrafast -g 25 -c:a aac -shortest " + extra + " '" + out.string() +
        "'");
}

// Decoded frames of every stream, one checksum line each, without the comment header.
inline std::string frame_checksums(const std::filesystem::path& media) {
    std::string output;
    if (!run_command(
            "ffmpeg -nostdin -v error -i '" + media.string() + "' -map 0 -f framemd5 - 2>/dev/null",
            &output)) {
        return "ffmpeg failed";
    }
    std::istringstream lines(output);
    std::string line, frames;
    while (std::getline(lines, line)) {
        if (!line.empty() && line[0] != '#') {
            frames += line + "\n";
        }
    }
    return frames;
}

inline double media_duration(const std::filesystem::path& media) {
    std::string output;
    run_command(
        "ffprobe -v error -show_entries format=duration -of csv=p=0 '" + media.string() + "'",
        &output);
    return std::atof(output.c_str());
}

}  // namespace wharfkeep::test
