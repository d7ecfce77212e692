#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "wharfkeep/container/matroska.h"

namespace wharfkeep::mkv_utility {
namespace {

using Bytes = std::span<const std::uint8_t>;

constexpr std::uint32_t kEbmlHeader = 0x1A45DFA3;
constexpr std::uint32_t kSegment = 0x18538067;
constexpr std::uint32_t kInfo = 0x1549A966;
constexpr std::uint32_t kTimecodeScale = 0x2AD7B1;
constexpr std::uint32_t kDuration = 0x4489;
constexpr std::uint32_t kSeekHead = 0x114D9B74;
constexpr std::uint32_t kSeek = 0x4DBB;
constexpr std::uint32_t kSeekId = 0x53AB;
constexpr std::uint32_t kSeekPosition = 0x53AC;
constexpr std::uint32_t kCues = 0x1C53BB6B;
constexpr std::uint32_t kCluster = 0x1F43B675;
constexpr std::uint64_t kDefaultTimecodeScale = 1'000'000;  // nanoseconds per tick

struct Element {
    std::uint32_t id = 0;
    std::uint64_t offset = 0;       // of the identifier
    std::uint64_t data_offset = 0;  // of the body
    std::uint64_t size = 0;         // of the body; meaningless when unknown_size
    bool unknown_size = false;

    std::uint64_t end() const { return data_offset + size; }
};

// Length of a variable-length integer from its first byte (1 to 8), 0 when invalid.
int vint_length(std::uint8_t first) {
    return first == 0 ? 0 : std::countl_zero(first) + 1;
}

// The element header at `offset` of `bytes`; nothing when it is malformed or cut short.
std::optional<Element> read_element(Bytes bytes, std::uint64_t offset) {
    if (offset >= bytes.size()) {
        return std::nullopt;
    }
    const int id_length = vint_length(bytes[offset]);
    if (id_length == 0 || id_length > 4 || bytes.size() - offset < std::uint64_t(id_length) + 1) {
        return std::nullopt;
    }
    Element element;
    element.offset = offset;
    for (int i = 0; i < id_length; ++i) {
        element.id = (element.id << 8) | bytes[offset + i];
    }
    const std::uint64_t size_at = offset + id_length;
    const int size_length = vint_length(bytes[size_at]);
    if (size_length == 0 || bytes.size() - size_at < std::uint64_t(size_length)) {
        return std::nullopt;
    }
    std::uint64_t size = bytes[size_at] & (0xFFu >> size_length);
    bool all_ones = size == (0xFFu >> size_length);
    for (int i = 1; i < size_length; ++i) {
        size = (size << 8) | bytes[size_at + i];
        all_ones = all_ones && bytes[size_at + i] == 0xFF;
    }
    element.data_offset = size_at + size_length;
    element.unknown_size = all_ones;
    element.size = all_ones ? 0 : size;
    return element;
}

// The body of an element when it lies wholly within `bytes`.
std::optional<Bytes> body_of(Bytes bytes, const Element& element) {
    if (element.unknown_size || element.data_offset > bytes.size() ||
        element.size > bytes.size() - element.data_offset) {
        return std::nullopt;
    }
    return bytes.subspan(element.data_offset, element.size);
}

std::optional<std::uint64_t> read_uint(Bytes body) {
    if (body.size() > 8) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (std::uint8_t byte : body) {
        value = (value << 8) | byte;
    }
    return value;
}

std::optional<double> read_float(Bytes body) {
    const auto bits = read_uint(body);
    if (!bits) {
        return std::nullopt;
    }
    if (body.size() == 4) {
        return double(std::bit_cast<float>(static_cast<std::uint32_t>(*bits)));
    }
    if (body.size() == 8) {
        return std::bit_cast<double>(*bits);
    }
    return body.empty() ? std::optional<double>(0.0) : std::nullopt;
}

// Calls visit(element, body) for each child in `body`; false when a child is malformed.
template <typename Visit>
bool for_each_child(Bytes body, Visit visit) {
    std::uint64_t offset = 0;
    while (offset < body.size()) {
        const auto child = read_element(body, offset);
        if (!child) {
            return false;
        }
        const auto child_body = body_of(body, *child);
        if (!child_body || !visit(*child, *child_body)) {
            return false;
        }
        offset = child->end();
    }
    return true;
}

struct Walk {
    std::optional<std::uint64_t> first_cluster;
    std::optional<std::uint64_t> cues;
    std::optional<double> duration;  // in TimecodeScale units
    std::uint64_t timecode_scale = kDefaultTimecodeScale;

    bool complete() const { return first_cluster && cues && duration; }
};

bool read_info(Bytes body, Walk& walk) {
    return for_each_child(body, [&](const Element& child, Bytes value) {
        if (child.id == kTimecodeScale) {
            const auto scale = read_uint(value);
            if (!scale) {
                return false;
            }
            walk.timecode_scale = *scale;
        } else if (child.id == kDuration) {
            walk.duration = read_float(value);
            return walk.duration.has_value();
        }
        return true;
    });
}

bool read_seek_head(Bytes body, std::uint64_t segment_body, Walk& walk) {
    static constexpr std::uint8_t kCuesId[] = {0x1C, 0x53, 0xBB, 0x6B};
    return for_each_child(body, [&](const Element& seek, Bytes entry) {
        if (seek.id != kSeek) {
            return true;
        }
        bool names_cues = false;
        std::optional<std::uint64_t> position;
        const bool ok = for_each_child(entry, [&](const Element& field, Bytes value) {
            if (field.id == kSeekId) {
                names_cues = value.size() == 4 && std::memcmp(value.data(), kCuesId, 4) == 0;
            } else if (field.id == kSeekPosition) {
                position = read_uint(value);
                return position.has_value();
            }
            return true;
        });
        if (ok && names_cues && position && !walk.cues &&
            *position <= std::numeric_limits<std::uint64_t>::max() - segment_body) {
            walk.cues = segment_body + *position;
        }
        return ok;
    });
}

}  // namespace

std::optional<SegmentFacts> parse(Bytes probe, std::uint64_t file_size) {
    const auto ebml = read_element(probe, 0);
    if (!ebml || ebml->id != kEbmlHeader || ebml->unknown_size) {
        return std::nullopt;
    }
    std::uint64_t offset = ebml->end();
    std::optional<Element> segment;
    while (!segment) {
        const auto element = read_element(probe, offset);
        if (!element || (element->id != kSegment && element->unknown_size)) {
            return std::nullopt;
        }
        if (element->id == kSegment) {
            segment = element;
        } else {
            offset = element->end();
        }
    }
    const std::uint64_t segment_end =
        segment->unknown_size ? file_size : std::min(segment->end(), file_size);

    Walk walk;
    offset = segment->data_offset;
    while (offset < segment_end && offset < probe.size() && !walk.complete()) {
        const auto element = read_element(probe, offset);
        if (!element) {
            return std::nullopt;
        }
        if (element->id == kCluster && !walk.first_cluster) {
            walk.first_cluster = element->offset;
        } else if (element->id == kCues && !walk.cues) {
            walk.cues = element->offset;
        } else if (element->id == kInfo || element->id == kSeekHead) {
            const auto body = body_of(probe, *element);
            if (!body) {
                break;  // its fields lie beyond the bytes read
            }
            const bool ok = element->id == kInfo
                                ? read_info(*body, walk)
                                : read_seek_head(*body, segment->data_offset, walk);
            if (!ok) {
                return std::nullopt;
            }
        }
        if (element->unknown_size) {
            break;  // a live-written element: what follows cannot be located
        }
        offset = element->end();
    }
    if (!walk.complete()) {
        return std::nullopt;
    }
    const double duration_ms = *walk.duration * double(walk.timecode_scale) / 1e6;
    if (!std::isfinite(duration_ms) || duration_ms < 1.0) {
        return std::nullopt;
    }
    return SegmentFacts{*walk.first_cluster, *walk.cues, duration_ms};
}

std::optional<ContainerLayout> parse_layout(Bytes probe, std::uint64_t file_size) {
    const auto facts = parse(probe, file_size);
    if (!facts || facts->first_cluster_offset > facts->cues_offset ||
        facts->cues_offset > file_size) {
        return std::nullopt;
    }
    const auto milliseconds = static_cast<unsigned __int128>(
        std::min(facts->duration_ms, double(std::numeric_limits<std::uint64_t>::max() / 2)));
    const unsigned __int128 rate = static_cast<unsigned __int128>(file_size) * 8000 / milliseconds;
    ContainerLayout layout;
    layout.extension = ".mkv";
    layout.header_length = static_cast<std::uint32_t>(facts->first_cluster_offset);
    layout.tail_offset = facts->cues_offset;
    layout.tail_length = static_cast<std::uint32_t>(file_size - facts->cues_offset);
    layout.bit_rate = static_cast<std::uint32_t>(
        std::min<unsigned __int128>(rate, std::numeric_limits<std::uint32_t>::max()));
    return layout;
}

}  // namespace wharfkeep::mkv_utility
