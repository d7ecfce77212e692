#pragma once
// The header of one MP4 box: a 32-bit big-endian size and a four-character type, with a
// 64-bit size after the type when the 32-bit size is 1.

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace wharfkeep {

struct Mp4BoxHeader {
    std::uint64_t offset = 0;       // of the first header byte
    std::uint64_t size = 0;         // whole box, header included
    std::uint32_t header_size = 8;  // 8, or 16 with a 64-bit size
    char type[4] = {};
    bool size_runs_to_end = false;  // the size field was 0

    std::uint64_t end() const { return offset + size; }
    bool is(std::string_view four_cc) const {
        return four_cc.size() == 4 && std::string_view(type, 4) == four_cc;
    }
};

// Decodes the header at `offset`, whose bytes start at head[0] (up to 16 of them; fewer
// only when the range ends sooner). A size field of 0 means the box runs to `range_end`.
// Nothing when the header does not fit before `range_end`, when a 32-bit size is 2 to 7,
// or when a 64-bit size is below 16 (a walk cannot advance over such a box).
std::optional<Mp4BoxHeader> decode_mp4_box_header(std::span<const std::uint8_t> head,
                                                  std::uint64_t offset, std::uint64_t range_end);

// The same over a buffer that holds the whole range: the header at `offset` of `buffer`,
// within [offset, range_end) where range_end <= buffer.size().
std::optional<Mp4BoxHeader> read_mp4_box_header(std::span<const std::uint8_t> buffer,
                                                std::uint64_t offset, std::uint64_t range_end);

}  // namespace wharfkeep
