#include <algorithm>
#include <cstring>

#include "wharfkeep/container/container_layout.h"
#include "wharfkeep/container/h264_seek_header.h"
#include "wharfkeep/container/matroska.h"
#include "wharfkeep/container/realmedia.h"
#include "wharfkeep/my_exception.h"

namespace wharfkeep {
namespace {

constexpr std::uint8_t kEbmlMagic[] = {0x1A, 0x45, 0xDF, 0xA3};

bool starts_with(std::span<const std::uint8_t> bytes, std::size_t at, const void* magic,
                 std::size_t n) {
    return bytes.size() >= at + n && std::memcmp(bytes.data() + at, magic, n) == 0;
}

// The header length rounded up past the streaming header box: the next multiple of
// 8192 with 42 added, so a player gets the whole index in the first request.
std::uint64_t rounded_zqhd_end(std::uint32_t zqhd_length) {
    return ((std::uint64_t{zqhd_length} + 8191) & ~std::uint64_t{8191}) | 42;
}

}  // namespace

ContainerLayout ParseMp4Layout(std::span<const std::uint8_t> prefix, std::uint64_t file_size) {
    SeekHeader seek;
    if (BuildH264SeekHeader(prefix, file_size, seek) != kSeekHeaderOk) {
        throw CMyException("BuildH264SeekHeader fail!");
    }
    if (seek.zqhd_length == 0) {
        throw CMyException("BuildH264SeekHeader zqhdLength=0!");
    }
    const std::uint64_t seek_length = seek.header_length;
    const std::uint64_t tail_offset = seek_length + seek.media_payload_length;
    // The media data moved behind the seek header must still end inside the file, or the
    // tail length and the pieces cut at the tail offset would describe bytes that do not
    // exist.
    if (tail_offset > file_size) {
        throw CMyException("BuildH264SeekHeader fail!");
    }
    std::uint64_t header_length = seek_length;
    const std::uint64_t rounded = rounded_zqhd_end(seek.zqhd_length);
    if (header_length < rounded) {
        // A file too small for the rounding keeps its header within the media data.
        header_length = std::min(rounded, tail_offset);
    }
    ContainerLayout layout;
    layout.extension = ".mp4";
    layout.header_length = static_cast<std::uint32_t>(header_length);
    layout.tail_offset = tail_offset;
    layout.tail_length = static_cast<std::uint32_t>(file_size - tail_offset);
    layout.bit_rate = seek.bit_rate;
    layout.zqhd_length = seek.zqhd_length;
    return layout;
}

ContainerLayout ParseContainer(const PrefixReader& read_prefix, std::uint64_t file_size) {
    const std::vector<std::uint8_t> probe = read_prefix(
        static_cast<std::size_t>(std::min<std::uint64_t>(file_size, kContainerProbeSize)));
    if (starts_with(probe, 0, ".RMF", 4)) {
        auto layout = rmff_utility::parse_layout(probe, file_size);
        if (!layout) {
            throw CMyException("rmff_utility::parse file fail!");
        }
        return *layout;
    }
    if (starts_with(probe, 0, kEbmlMagic, 4)) {
        auto layout = mkv_utility::parse_layout(probe, file_size);
        if (!layout) {
            throw CMyException("mkv_utility::parse file fail!");
        }
        return *layout;
    }
    if (starts_with(probe, 4, "ftyp", 4) || starts_with(probe, 4, "zqhd", 4)) {
        const std::vector<std::uint8_t> prefix =
            file_size <= probe.size() ? probe
                                      : read_prefix(static_cast<std::size_t>(
                                            std::min<std::uint64_t>(file_size, kMp4PrefixSize)));
        return ParseMp4Layout(prefix, file_size);
    }
    throw CMyException("file fomat can`t support!");
}

}  // namespace wharfkeep
