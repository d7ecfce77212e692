#pragma once
// Test media made with ffmpeg, and the external tools the tests compare against.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace moovwright::testing {

// A fresh folder under the temporary folder, removed with everything in it at the end.
// WHARFKEEP_HOME points into it while it exists.
class ScratchFolder {
public:
    ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    ~ScratchFolder();
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path file(const std::string& name) const { return path_ / name; }
    // Names of the files in the folder, sorted.
    std::vector<std::string> listing() const;

private:
    std::filesystem::path path_;
};

struct ClipOptions {
    double seconds = 2.0;
    std::string video = "h264";  // "h264", "hevc", "intra" (every frame a key frame), ""
    bool bframes = true;
    int gop = 12;
    int fps = 25;
    bool variable_frame_rate = false;
    std::string audio = "aac";  // "aac", "mp3", ""
    double audio_seconds = 0;   // 0: as long as the video
    int audio_tracks = 1;
    int sample_rate = 44100;
    bool moov_first = false;
    // Version-1 ctts with negative offsets (B-frames shown before their decoding time).
    bool negative_cts = false;
    std::string format = "mp4";  // ffmpeg output format
    int width = 160;
    int height = 120;
};

// Makes a clip with ffmpeg; throws std::runtime_error when ffmpeg fails.
void make_clip(const ClipOptions& options, const std::filesystem::path& out);

// Runs a shell command and returns its standard output; `status` gets the exit status.
std::string run_command(const std::string& command, int* status = nullptr);
std::string shell_quote(const std::string& text);

// Decoded frames of every stream as ffmpeg's framemd5 lists them (header lines dropped).
std::string framemd5(const std::filesystem::path& file);
// What ffprobe reports on standard error at error level while reading every packet.
std::string ffprobe_errors(const std::filesystem::path& file);

std::vector<uint8_t> read_bytes(const std::filesystem::path& file);
void write_bytes(const std::filesystem::path& file, const std::vector<uint8_t>& bytes);

// Rewrites a file whose moov comes after its media data so that every stco becomes a co64
// holding the same offsets. Throws std::runtime_error when the file is not laid out so.
void convert_chunk_offsets_to_64_bit(const std::filesystem::path& in,
                                     const std::filesystem::path& out);

// Simple big-endian view of an atom tree, enough for tests to find and patch atoms.
struct AtomSpan {
    std::string type;
    uint64_t offset = 0;  // of the header
    uint64_t size = 0;
    uint64_t header = 8;
};
// The first atom at the path (for example "moov/trak/mdia/minf/stbl/stsc"), counting
// `index` among the same-typed siblings of the last element; nothing: size 0.
AtomSpan find_atom(const std::vector<uint8_t>& file, const std::string& path, int index = 0);
std::vector<AtomSpan> child_atoms(const std::vector<uint8_t>& file, const AtomSpan& parent);

uint32_t load_be32(const uint8_t* bytes);
void store_be32(uint8_t* bytes, uint32_t value);

}  // namespace moovwright::testing
