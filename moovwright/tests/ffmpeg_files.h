#pragma once
// Small MP4 files made by ffmpeg once per test run, shared by the tests that need real files.

#include <filesystem>
#include <string>
#include <vector>

namespace moovwright::test {

struct GeneratedFile {
    std::string name;
    std::filesystem::path path;
    bool hasVideo;
    bool hasAudio;
    bool bFrames;
    bool moovFirst;
};

// Makes the files on first use (in a folder removed at exit); empty when ffmpeg is missing
// or fails.
const std::vector<GeneratedFile>& FfmpegFiles();

}  // namespace moovwright::test
