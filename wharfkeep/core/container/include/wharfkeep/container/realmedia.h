#pragma once
// The RealMedia (.rm/.rmvb) header chunks, read from the first bytes of a file.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "wharfkeep/container/container_layout.h"

namespace wharfkeep::rmff_utility {

// The rates and packet sizes that the PROP chunk gives for the file and each MDPR chunk
// for its stream, in this order.
struct PacketRates {
    std::uint32_t max_bit_rate = 0;
    std::uint32_t average_bit_rate = 0;
    std::uint32_t max_packet_size = 0;
    std::uint32_t average_packet_size = 0;
};

// One MDPR chunk.
struct MediaProperties {
    std::uint16_t stream_number = 0;
    PacketRates rates;
    std::uint32_t start_time = 0;
    std::uint32_t preroll = 0;
    std::uint32_t duration = 0;
    std::string stream_name;
    std::string mime_type;
    std::vector<std::uint8_t> type_specific;  // at most kMaxTypeSpecificBytes kept
};

// The PROP chunk.
struct FileProperties {
    PacketRates rates;
    std::uint32_t packet_count = 0;
    std::uint32_t duration = 0;
    std::uint32_t preroll = 0;
    std::uint32_t index_offset = 0;
    std::uint32_t data_offset = 0;
    std::uint16_t stream_count = 0;
    std::uint16_t flags = 0;
};

// The CONT chunk; each text keeps at most kMaxContentText bytes.
struct ContentDescription {
    std::string title, author, copyright, comment;
};

inline constexpr std::size_t kMaxTypeSpecificBytes = 128;
inline constexpr std::size_t kMaxContentText = 1024;

struct Header {
    std::optional<FileProperties> properties;
    std::vector<MediaProperties> streams;
    std::optional<ContentDescription> content;
};

// Reads the chunks from offset 0 up to the DATA chunk. Nothing when a chunk is cut short,
// an unknown chunk comes before DATA, or DATA is not within `probe`.
std::optional<Header> parse(std::span<const std::uint8_t> probe);

// The layout of a RealMedia file of `file_size` bytes; nothing when the header cannot be
// read, has no PROP chunk, or its offsets do not lie in order within the file.
std::optional<ContainerLayout> parse_layout(std::span<const std::uint8_t> probe,
                                            std::uint64_t file_size);

}  // namespace wharfkeep::rmff_utility
