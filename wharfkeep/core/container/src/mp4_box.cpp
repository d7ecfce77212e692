#include "wharfkeep/container/mp4_box.h"

#include <algorithm>
#include <limits>

#include "wharfkeep/byte_order.h"

namespace wharfkeep {

std::optional<Mp4BoxHeader> decode_mp4_box_header(std::span<const std::uint8_t> head,
                                                  std::uint64_t offset, std::uint64_t range_end) {
    if (offset >= range_end || range_end - offset < 8 || head.size() < 8) {
        return std::nullopt;
    }
    Mp4BoxHeader box;
    box.offset = offset;
    std::copy_n(head.begin() + 4, 4, box.type);
    const std::uint32_t size32 = read_be32(head, 0);
    if (size32 == 0) {
        box.size = range_end - offset;
        box.size_runs_to_end = true;
    } else if (size32 == 1) {
        if (range_end - offset < 16 || head.size() < 16) {
            return std::nullopt;
        }
        box.header_size = 16;
        box.size = read_be64(head, 8);
        if (box.size < 16) {
            return std::nullopt;
        }
    } else if (size32 < 8) {
        return std::nullopt;
    } else {
        box.size = size32;
    }
    if (box.size > std::numeric_limits<std::uint64_t>::max() - offset) {
        return std::nullopt;  // its end would wrap around
    }
    return box;
}

std::optional<Mp4BoxHeader> read_mp4_box_header(std::span<const std::uint8_t> buffer,
                                                std::uint64_t offset, std::uint64_t range_end) {
    range_end = std::min<std::uint64_t>(range_end, buffer.size());
    if (offset >= range_end) {
        return std::nullopt;
    }
    const std::uint64_t available = std::min<std::uint64_t>(16, range_end - offset);
    return decode_mp4_box_header(buffer.subspan(offset, available), offset, range_end);
}

}  // namespace wharfkeep
