#include <algorithm>
#include <cstring>

#include "wharfkeep/byte_cursor.h"
#include "wharfkeep/container/realmedia.h"

namespace wharfkeep::rmff_utility {
namespace {

constexpr std::size_t kFileHeaderSize = 18;
constexpr std::size_t kPropertiesSize = 50;
constexpr std::size_t kMediaPropertiesFixedSize = 40;

bool has_id(std::span<const std::uint8_t> probe, std::size_t at, const char* id) {
    return probe.size() - at >= 4 && std::memcmp(probe.data() + at, id, 4) == 0;
}

PacketRates read_rates(ByteCursor& in) {
    PacketRates rates;
    rates.max_bit_rate = in.u32();
    rates.average_bit_rate = in.u32();
    rates.max_packet_size = in.u32();
    rates.average_packet_size = in.u32();
    return rates;
}

FileProperties read_properties(ByteCursor& in) {
    FileProperties prop;
    in.skip(10);  // identifier, size, version
    prop.rates = read_rates(in);
    prop.packet_count = in.u32();
    prop.duration = in.u32();
    prop.preroll = in.u32();
    prop.index_offset = in.u32();
    prop.data_offset = in.u32();
    prop.stream_count = in.u16();
    prop.flags = in.u16();
    return prop;
}

MediaProperties read_media_properties(ByteCursor& in) {
    MediaProperties media;
    in.skip(10);  // identifier, size, version
    media.stream_number = in.u16();
    media.rates = read_rates(in);
    media.start_time = in.u32();
    media.preroll = in.u32();
    media.duration = in.u32();
    media.stream_name = in.text(in.u8(), 255);
    media.mime_type = in.text(in.u8(), 255);
    const auto specific = in.bytes(in.u32());
    media.type_specific.assign(specific.begin(),
                               specific.begin() + std::min(specific.size(), kMaxTypeSpecificBytes));
    return media;
}

ContentDescription read_content(ByteCursor& in) {
    ContentDescription content;
    in.skip(10);  // identifier, size, version
    for (std::string* field :
         {&content.title, &content.author, &content.copyright, &content.comment}) {
        *field = in.text(in.u16(), kMaxContentText);
    }
    return content;
}

// The bytes of the chunk at `at`, bounded by its own size field so that no field can be
// taken from the next chunk. Nothing when the size is below `min_size` or runs past `probe`.
std::optional<std::span<const std::uint8_t>> sized_chunk(std::span<const std::uint8_t> probe,
                                                         std::size_t at, std::size_t min_size) {
    if (probe.size() - at < 8) {
        return std::nullopt;
    }
    const std::size_t size = read_be32(probe, at + 4);
    if (size < min_size || size > probe.size() - at) {
        return std::nullopt;
    }
    return probe.subspan(at, size);
}

}  // namespace

std::optional<Header> parse(std::span<const std::uint8_t> probe) {
    Header header;
    std::size_t at = 0;
    while (at < probe.size()) {
        if (has_id(probe, at, ".RMF")) {
            if (probe.size() - at < kFileHeaderSize) {
                return std::nullopt;
            }
            at += kFileHeaderSize;
        } else if (has_id(probe, at, "PROP")) {
            if (probe.size() - at < kPropertiesSize) {
                return std::nullopt;
            }
            ByteCursor in(probe.subspan(at, kPropertiesSize));
            header.properties = read_properties(in);
            at += kPropertiesSize;
        } else if (has_id(probe, at, "MDPR")) {
            const auto chunk = sized_chunk(probe, at, kMediaPropertiesFixedSize);
            if (!chunk) {
                return std::nullopt;
            }
            ByteCursor in(*chunk);
            MediaProperties media = read_media_properties(in);
            if (!in.ok()) {
                return std::nullopt;
            }
            header.streams.push_back(std::move(media));
            at += chunk->size();
        } else if (has_id(probe, at, "CONT")) {
            const auto chunk = sized_chunk(probe, at, 10);
            if (!chunk) {
                return std::nullopt;
            }
            ByteCursor in(*chunk);
            ContentDescription content = read_content(in);
            if (!in.ok()) {
                return std::nullopt;
            }
            header.content = std::move(content);
            at += chunk->size();
        } else if (has_id(probe, at, "DATA")) {
            return header;
        } else {
            return std::nullopt;
        }
    }
    return std::nullopt;
}

std::optional<ContainerLayout> parse_layout(std::span<const std::uint8_t> probe,
                                            std::uint64_t file_size) {
    const auto header = parse(probe);
    if (!header || !header->properties) {
        return std::nullopt;
    }
    const FileProperties& prop = *header->properties;
    // An index offset of 0 means the file has no index: the media data runs to the end.
    const std::uint64_t tail_offset = prop.index_offset != 0 ? prop.index_offset : file_size;
    if (prop.data_offset > tail_offset || tail_offset > file_size) {
        return std::nullopt;
    }
    ContainerLayout layout;
    layout.extension = ".rmvb";
    layout.header_length = prop.data_offset;
    layout.tail_offset = tail_offset;
    layout.tail_length = static_cast<std::uint32_t>(file_size - tail_offset);
    layout.bit_rate = prop.rates.average_bit_rate;
    layout.packet_size = prop.rates.average_packet_size;
    layout.packet_count = prop.packet_count;
    return layout;
}

}  // namespace wharfkeep::rmff_utility
