#pragma once
// A quick look at an MP4 file before publishing: is it a plain MP4 that must be
// restructured, or does it already carry the streaming header (zqhd) inside its movie box
// or at the top level, and how much room follows its media data.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "wharfkeep/container/mp4_box.h"

namespace wharfkeep {

enum MediaKind : int {
    kMediaNotStreamable = 0,   // not an MP4 file with moov or zqhd and a media-data box
    kMediaPlainMp4 = 1,        // to be restructured
    kMediaHeaderInMoov = 2,    // restructured: zqhd inside moov
    kMediaHeaderTopLevel = 3,  // restructured: zqhd at the top level
};

struct MediaProbeResult {
    MediaKind kind = kMediaNotStreamable;
    std::int32_t header_word = 0;  // first payload word of zqhd, little-endian
    int data_box_flag = 0;         // 0 when fewer than 64 bytes follow the media data
    std::uint64_t file_size = 0;
    std::optional<Mp4BoxHeader> media_box;  // the first mdat or zqdt
    // Why the kind is kMediaNotStreamable, for the operator.
    std::string not_streamable_reason;
};

// Nothing when the file cannot be opened or is not a regular file (a FIFO, a device: never
// opened in a way that could block). Boxes that run past the end of the file (a
// damaged or truncated file) end the walk without being recorded.
std::optional<MediaProbeResult> MediaProbe(const std::filesystem::path& path);

}  // namespace wharfkeep
