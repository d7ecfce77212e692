#pragma once
// The top of a Matroska (.mkv) file: where its first Cluster and its Cues lie, and its
// duration, read from the first bytes of the file.

#include <cstdint>
#include <optional>
#include <span>

#include "wharfkeep/container/container_layout.h"

namespace wharfkeep::mkv_utility {

struct SegmentFacts {
    std::uint64_t first_cluster_offset = 0;  // file offset of the first Cluster element
    std::uint64_t cues_offset = 0;           // file offset of the Cues element
    double duration_ms = 0;                  // Duration x TimecodeScale, in milliseconds
};

// Walks the EBML header and the Segment's children in `probe` (the first bytes of a file
// of `file_size` bytes). Nothing when the EBML header or the Segment is missing, an element
// cannot be read, or the walk ends before a first Cluster, a Cues position and a non-zero
// duration are known.
std::optional<SegmentFacts> parse(std::span<const std::uint8_t> probe, std::uint64_t file_size);

// The layout of a Matroska file; nothing also when the Cues lie before the first Cluster
// or past the end of the file.
std::optional<ContainerLayout> parse_layout(std::span<const std::uint8_t> probe,
                                            std::uint64_t file_size);

}  // namespace wharfkeep::mkv_utility
