#include "wharfkeep/container/h264_seek_header.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string_view>

#include "wharfkeep/byte_order.h"
#include "wharfkeep/container/mp4_box.h"

namespace wharfkeep {
namespace {

using Bytes = std::span<const std::uint8_t>;
using MutableBytes = std::span<std::uint8_t>;

constexpr std::string_view kBanner = "video served by mod_h264_streaming";
constexpr std::uint32_t kBannerBoxSize = 8 + kBanner.size();  // 42
constexpr std::uint32_t kMediaHeaderSize = 8;

// The payload of a box as a sub-span of the buffer that holds it.
template <typename Span>
Span payload_of(Span buffer, const Mp4BoxHeader& box) {
    return buffer.subspan(box.offset + box.header_size, box.size - box.header_size);
}

// The first child of `type` among the boxes in [begin, end) of `buffer`; the walk stops
// at the first header that cannot be read or a box that runs past the range.
std::optional<Mp4BoxHeader> find_child(Bytes buffer, std::uint64_t begin, std::uint64_t end,
                                       std::string_view type) {
    std::uint64_t offset = begin;
    while (offset < end) {
        auto box = read_mp4_box_header(buffer, offset, end);
        if (!box || box->end() > end) {
            return std::nullopt;
        }
        if (box->is(type)) {
            return box;
        }
        offset = box->end();
    }
    return std::nullopt;
}

std::optional<Mp4BoxHeader> find_child(Bytes buffer, const Mp4BoxHeader& parent,
                                       std::string_view type) {
    return find_child(buffer, parent.offset + parent.header_size, parent.end(), type);
}

struct TrackTiming {
    std::uint64_t media_duration = 0;  // in the track's own time units
    std::uint32_t timescale = 0;
};

// The media timescale of a track's mdhd (version 0 or 1).
std::optional<std::uint32_t> media_timescale(Bytes mdhd) {
    if (mdhd.size() < 4) {
        return std::nullopt;
    }
    const bool version1 = mdhd[0] == 1;
    if (mdhd.size() < (version1 ? 34u : 24u)) {
        return std::nullopt;
    }
    return read_be32(mdhd, version1 ? 20 : 12);
}

// The entry count of a sample table (version and flags, the count, then entries of
// `entry_bytes` each); nothing when the table does not hold that many entries.
std::optional<std::uint64_t> entry_count(Bytes table, std::uint64_t entry_bytes) {
    if (table.size() < 8) {
        return std::nullopt;
    }
    const std::uint64_t count = read_be32(table, 4);
    if (count > (table.size() - 8) / entry_bytes) {
        return std::nullopt;
    }
    return count;
}

// Sum of the decoding-time deltas of an stts table.
std::optional<std::uint64_t> total_duration(Bytes stts) {
    const auto count = entry_count(stts, 8);
    if (!count) {
        return std::nullopt;
    }
    std::uint64_t total = 0;
    for (std::uint64_t i = 0; i < *count; ++i) {
        const std::uint64_t step =
            std::uint64_t{read_be32(stts, 8 + 8 * i)} * read_be32(stts, 12 + 8 * i);
        if (__builtin_add_overflow(total, step, &total)) {
            return std::nullopt;
        }
    }
    return total;
}

// Moves every chunk offset of an stco (`width` 4) or co64 (`width` 8) table by `shift`;
// false when the table is cut short or an offset would leave what its width holds.
bool shift_chunk_offsets(MutableBytes table, std::size_t width, std::int64_t shift) {
    const auto count = entry_count(table, width);
    if (!count) {
        return false;
    }
    const std::uint64_t largest = width == 4 ? std::numeric_limits<std::uint32_t>::max()
                                             : std::numeric_limits<std::uint64_t>::max();
    for (std::uint64_t i = 0; i < *count; ++i) {
        const std::size_t at = 8 + width * i;
        const std::uint64_t offset = width == 4 ? read_be32(table, at) : read_be64(table, at);
        std::uint64_t moved = 0;
        const bool overflow =
            shift >= 0 ? __builtin_add_overflow(offset, static_cast<std::uint64_t>(shift), &moved)
                       : __builtin_sub_overflow(offset, -static_cast<std::uint64_t>(shift), &moved);
        if (overflow || moved > largest) {
            return false;
        }
        if (width == 4) {
            write_be32(table, at, static_cast<std::uint32_t>(moved));
        } else {
            write_be64(table, at, moved);
        }
    }
    return true;
}

// Reads one trak's timing and moves its chunk offsets.
std::optional<TrackTiming> seek_track(MutableBytes moov, const Mp4BoxHeader& trak,
                                      std::int64_t shift) {
    const auto mdia = find_child(moov, trak, "mdia");
    if (!mdia) {
        return std::nullopt;
    }
    const auto mdhd = find_child(moov, *mdia, "mdhd");
    const auto minf = find_child(moov, *mdia, "minf");
    if (!mdhd || !minf) {
        return std::nullopt;
    }
    const auto stbl = find_child(moov, *minf, "stbl");
    if (!stbl) {
        return std::nullopt;
    }
    const auto stts = find_child(moov, *stbl, "stts");
    const auto stco = find_child(moov, *stbl, "stco");
    const auto co64 = find_child(moov, *stbl, "co64");
    if (!stts || (!stco && !co64)) {
        return std::nullopt;
    }
    TrackTiming timing;
    const auto timescale = media_timescale(payload_of(Bytes(moov), *mdhd));
    const auto duration = total_duration(payload_of(Bytes(moov), *stts));
    if (!timescale || *timescale == 0 || !duration) {
        return std::nullopt;
    }
    timing.timescale = *timescale;
    timing.media_duration = *duration;
    if (stco && !shift_chunk_offsets(payload_of(moov, *stco), 4, shift)) {
        return std::nullopt;
    }
    if (co64 && !shift_chunk_offsets(payload_of(moov, *co64), 8, shift)) {
        return std::nullopt;
    }
    return timing;
}

// The movie header's timescale, and a writer for its duration field.
struct MovieHeader {
    MutableBytes payload;
    bool version1 = false;

    static std::optional<MovieHeader> read(MutableBytes payload) {
        if (payload.empty()) {
            return std::nullopt;
        }
        MovieHeader header{payload, payload[0] == 1};
        if (payload.size() < (header.version1 ? 32u : 20u)) {
            return std::nullopt;
        }
        return header;
    }
    std::uint32_t timescale() const { return read_be32(payload, version1 ? 20 : 12); }
    bool set_duration(std::uint64_t duration) {
        if (version1) {
            write_be64(payload, 24, duration);
            return true;
        }
        if (duration > std::numeric_limits<std::uint32_t>::max()) {
            return false;
        }
        write_be32(payload, 16, static_cast<std::uint32_t>(duration));
        return true;
    }
};

}  // namespace

std::optional<std::uint64_t> SeekMoov(std::span<std::uint8_t> moov, std::int64_t chunk_shift) {
    const auto box = read_mp4_box_header(moov, 0, moov.size());
    if (!box || box->end() > moov.size()) {
        return std::nullopt;
    }
    std::optional<MovieHeader> movie_header;
    std::uint64_t longest = 0;  // in movie time units
    std::vector<TrackTiming> tracks;
    std::uint64_t offset = box->header_size;
    while (offset < box->end()) {
        const auto child = read_mp4_box_header(moov, offset, box->end());
        if (!child || child->end() > box->end()) {
            return std::nullopt;
        }
        if (child->is("mvhd") && !movie_header) {
            movie_header = MovieHeader::read(payload_of(moov, *child));
            if (!movie_header) {
                return std::nullopt;
            }
        } else if (child->is("trak")) {
            const auto timing = seek_track(moov, *child, chunk_shift);
            if (!timing) {
                return std::nullopt;
            }
            tracks.push_back(*timing);
        }
        offset = child->end();
    }
    if (!movie_header || movie_header->timescale() == 0) {
        return std::nullopt;
    }
    const std::uint32_t movie_timescale = movie_header->timescale();
    for (const TrackTiming& track : tracks) {
        const unsigned __int128 in_movie_units =
            static_cast<unsigned __int128>(track.media_duration) * movie_timescale /
            track.timescale;
        if (in_movie_units > std::numeric_limits<std::uint64_t>::max()) {
            return std::nullopt;
        }
        longest = std::max(longest, static_cast<std::uint64_t>(in_movie_units));
    }
    if (!movie_header->set_duration(longest)) {
        return std::nullopt;
    }
    return longest / movie_timescale;
}

namespace {

// What the top-level walk keeps and remembers.
struct TopLevelBoxes {
    std::optional<Mp4BoxHeader> ftyp;
    std::optional<Mp4BoxHeader> movie;  // the first moov or zqhd
    std::optional<Mp4BoxHeader> media;  // the first mdat or zqdt
};

TopLevelBoxes walk_top_level(Bytes buffer, std::uint64_t file_size) {
    TopLevelBoxes found;
    std::uint64_t offset = 0;
    while (offset < buffer.size()) {
        auto box = read_mp4_box_header(buffer, offset, buffer.size());
        if (!box) {
            break;
        }
        const bool is_media = box->is("mdat") || box->is("zqdt");
        // Only the header of the media data is needed, so "runs to the end" means the end
        // of the file there, not the end of the prefix held in the buffer.
        if (is_media && box->size_runs_to_end && file_size > box->offset) {
            box->size = std::max<std::uint64_t>(file_size - box->offset, box->size);
        }
        const bool fits = box->end() <= buffer.size();
        if (box->is("ftyp") && !found.ftyp && fits) {
            found.ftyp = box;
        } else if ((box->is("moov") || box->is("zqhd")) && !found.movie && fits) {
            found.movie = box;
        } else if (is_media && !found.media) {
            found.media = box;
        }
        if (!fits) {
            break;  // the rest of the box, and whatever follows it, is not in the buffer
        }
        offset = box->end();
    }
    return found;
}

// End offset of the zqhd box: the top-level box itself, or a child of the movie box.
std::uint64_t zqhd_end(Bytes buffer, const Mp4BoxHeader& movie) {
    if (movie.is("zqhd")) {
        return movie.end();
    }
    const auto child = find_child(buffer, movie, "zqhd");
    return child ? child->end() : 0;
}

void append(std::vector<std::uint8_t>& out, Bytes bytes) {
    out.insert(out.end(), bytes.begin(), bytes.end());
}

}  // namespace

int BuildH264SeekHeader(std::span<const std::uint8_t> buffer, std::uint64_t file_size,
                        SeekHeader& out) {
    out = SeekHeader{};
    if (buffer.empty()) {
        return kSeekHeaderEmptyInput;
    }
    const TopLevelBoxes boxes = walk_top_level(buffer, file_size);
    if (!boxes.movie) {
        return kSeekHeaderNoMovieBox;
    }
    if (!boxes.media) {
        return kSeekHeaderNoMediaData;
    }
    const Mp4BoxHeader& movie = *boxes.movie;
    const Mp4BoxHeader& media = *boxes.media;
    const std::uint64_t ftyp_size = boxes.ftyp ? boxes.ftyp->size : 0;
    std::vector<std::uint8_t> movie_copy(buffer.begin() + movie.offset,
                                         buffer.begin() + movie.end());

    std::uint64_t duration = 0;
    if (movie.is("moov")) {
        const std::int64_t shift =
            static_cast<std::int64_t>(ftyp_size + movie.size + kBannerBoxSize) -
            static_cast<std::int64_t>(media.offset);
        const auto seconds = SeekMoov(movie_copy, shift);
        if (!seconds) {
            return kSeekHeaderMoovSeekFailed;
        }
        duration = *seconds;
    } else {
        // The playing time of the layout header, in whole seconds.
        if (movie.size < 16) {
            return kSeekHeaderMoovSeekFailed;
        }
        duration = read_le32(movie_copy, 12);
    }
    if (duration == 0) {
        return kSeekHeaderZeroDuration;
    }
    const std::uint64_t length = ftyp_size + kBannerBoxSize + movie.size + kMediaHeaderSize;
    if (length > kSeekHeaderCapacity) {
        return kSeekHeaderTooLarge;
    }

    out.bytes.reserve(length);
    if (boxes.ftyp) {
        append(out.bytes, buffer.subspan(boxes.ftyp->offset, boxes.ftyp->size));
    }
    std::uint8_t banner_header[8] = {0, 0, 0, kBannerBoxSize, 'f', 'r', 'e', 'e'};
    append(out.bytes, banner_header);
    append(out.bytes,
           std::span(reinterpret_cast<const std::uint8_t*>(kBanner.data()), kBanner.size()));
    append(out.bytes, movie_copy);
    std::uint8_t media_header[8] = {};
    // A size that does not fit the 8-byte form is written as 0: "to the end of the file".
    write_be32(media_header, 0,
               media.size <= std::numeric_limits<std::uint32_t>::max()
                   ? static_cast<std::uint32_t>(media.size)
                   : 0);
    std::memcpy(media_header + 4, media.type, 4);
    append(out.bytes, media_header);

    const std::uint64_t rate = file_size / duration * 8;
    out.header_length = static_cast<std::uint32_t>(length);
    out.media_payload_length = media.size - media.header_size;
    out.zqhd_length = static_cast<std::uint32_t>(zqhd_end(buffer, movie));
    out.bit_rate = static_cast<std::uint32_t>(
        std::min<std::uint64_t>(rate, std::numeric_limits<std::uint32_t>::max()));
    out.duration_seconds = duration;
    return kSeekHeaderOk;
}

}  // namespace wharfkeep
