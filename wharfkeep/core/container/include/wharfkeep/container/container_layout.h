#pragma once
// How a media file is laid out, as the publisher describes it to peers: the bytes of
// header in front of the media data, where the media data ends and a trailing index
// begins, and the average bit rate. ParseContainer recognises RealMedia, Matroska and MP4
// by their first bytes and runs the matching parser.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace wharfkeep {

struct ContainerLayout {
    std::string extension;            // ".rmvb", ".mkv" or ".mp4"
    std::uint32_t header_length = 0;  // bytes from the start of the file up to the media data
    std::uint64_t tail_offset = 0;    // where the media data ends and the trailing part begins
    std::uint32_t tail_length = 0;    // bytes from the tail offset to the end of the file
    std::uint32_t bit_rate = 0;       // bits per second
    std::uint32_t packet_size = 0;    // RealMedia only
    std::uint32_t packet_count = 0;   // RealMedia only
    std::uint32_t zqhd_length = 0;    // MP4 only: end offset of the streaming header box
};

// Bytes read for recognising the container and for the RealMedia and Matroska parsers.
inline constexpr std::size_t kContainerProbeSize = 204'800;
// Bytes read for the MP4 branch.
inline constexpr std::size_t kMp4PrefixSize = 41'943'040;

// Returns the first min(n, file size) bytes of the file; raises CMyException when it cannot.
using PrefixReader = std::function<std::vector<std::uint8_t>(std::size_t n)>;

// Recognises the container of a file of `file_size` bytes and fills its layout. Raises
// CMyException with one of the texts below when the file is not understood; a layout is
// returned only when 0 <= header length <= tail offset <= file size.
//   "rmff_utility::parse file fail!"     "mkv_utility::parse file fail!"
//   "BuildH264SeekHeader fail!"          "BuildH264SeekHeader zqhdLength=0!"
//   "file fomat can`t support!"
ContainerLayout ParseContainer(const PrefixReader& read_prefix, std::uint64_t file_size);

// The MP4 branch alone, over the first bytes of the file.
ContainerLayout ParseMp4Layout(std::span<const std::uint8_t> prefix, std::uint64_t file_size);

}  // namespace wharfkeep
