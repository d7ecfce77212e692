#pragma once
// The H.264 seek header of an MP4 file: what a progressive-download server sends in front
// of the media data (ftyp, a short "free" banner, the movie box with its chunk offsets
// moved to suit, and the media-data box header), together with the values the publisher
// takes from it.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace wharfkeep {

// Results of BuildH264SeekHeader.
enum SeekHeaderResult : int {
    kSeekHeaderOk = 0,
    kSeekHeaderEmptyInput = -1,
    kSeekHeaderNoMovieBox = -3,      // neither moov nor zqhd in the buffer
    kSeekHeaderMoovSeekFailed = -4,  // the movie box could not be read or adjusted
    kSeekHeaderZeroDuration = -5,    // no playing time to derive a bit rate from
    kSeekHeaderTooLarge = -6,        // the header would exceed kSeekHeaderCapacity
    kSeekHeaderNoMediaData = -10,    // neither mdat nor zqdt in the buffer
};

// The largest seek header that is built.
inline constexpr std::uint64_t kSeekHeaderCapacity = 52'428'800;

struct SeekHeader {
    std::vector<std::uint8_t> bytes;         // the seek header itself
    std::uint32_t header_length = 0;         // its length
    std::uint64_t media_payload_length = 0;  // media-data box size minus its header
    std::uint32_t zqhd_length = 0;           // end offset of the zqhd box, 0 without one
    std::uint32_t bit_rate = 0;              // bits per second over the whole file
    std::uint64_t duration_seconds = 0;      // playing time it was derived from
};

// Builds the seek header for the whole movie from `buffer`, the first bytes of a file of
// `file_size` bytes. Every sample is kept; every chunk offset moves by the distance the
// media data travels when the header stands in front of it. Returns a SeekHeaderResult.
int BuildH264SeekHeader(std::span<const std::uint8_t> buffer, std::uint64_t file_size,
                        SeekHeader& out);

// Adjusts a copy of a movie box in place for a seek header that keeps every sample: moves
// every track's chunk offsets by `chunk_shift`, writes the longest track's duration (in
// movie time units) back as the movie duration and returns that duration in whole seconds.
// Nothing when the box is malformed, a track lacks its tables, a timescale is 0, or a
// moved offset would leave its field.
std::optional<std::uint64_t> SeekMoov(std::span<std::uint8_t> moov, std::int64_t chunk_shift);

}  // namespace wharfkeep
