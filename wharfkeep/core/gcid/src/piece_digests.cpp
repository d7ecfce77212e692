#include <algorithm>
#include <atomic>
#include <vector>

#include "message_digest.h"
#include "wharfkeep/gcid/gcid.h"
#include "wharfkeep/my_exception.h"

namespace wharfkeep {

namespace {

std::atomic<std::uint32_t> piece_sequence{0};

}  // namespace

std::uint32_t next_piece_sequence() {
    return piece_sequence.fetch_add(1, std::memory_order_relaxed);
}

std::vector<PieceRange> plan_pieces(std::uint64_t header_length, std::uint64_t tail_offset,
                                    std::uint64_t file_size) {
    if (header_length > tail_offset || tail_offset > file_size) {
        throw CMyException("piece layout out of range: header " + std::to_string(header_length) +
                           ", tail " + std::to_string(tail_offset) + ", size " +
                           std::to_string(file_size));
    }
    std::vector<PieceRange> pieces;
    pieces.reserve(3 + (tail_offset - header_length) / kBodyPieceLength);
    pieces.push_back({0, header_length});
    std::uint64_t offset = header_length;
    while (tail_offset - offset > kBodyPieceLength) {
        pieces.push_back({offset, kBodyPieceLength});
        offset += kBodyPieceLength;
    }
    if (offset < tail_offset) {
        pieces.push_back({offset, tail_offset - offset});
    }
    pieces.push_back({tail_offset, file_size - tail_offset});
    return pieces;
}

PieceDigestMap compute_piece_digests(SourceFile& file, std::uint64_t header_length,
                                     std::uint64_t tail_offset, std::uint64_t file_size) {
    const std::vector<PieceRange> pieces = plan_pieces(header_length, tail_offset, file_size);
    // One work buffer per file, no larger than the largest piece needs.
    std::uint64_t largest = 0;
    for (const PieceRange& piece : pieces) {
        largest = std::max(largest, piece.length);
    }
    std::vector<std::uint8_t> buffer(std::min<std::uint64_t>(largest, kPieceBufferLength));

    auto md5 = detail::MessageDigest::md5();
    PieceDigestMap digests;
    for (const PieceRange& piece : pieces) {
        PieceDigest digest;
        digest.sequence = next_piece_sequence();
        // Pieces above the buffer size (large headers or tails) are hashed part by part.
        for (std::uint64_t done = 0; done < piece.length;) {
            const auto part = static_cast<std::size_t>(
                std::min<std::uint64_t>(piece.length - done, buffer.size()));
            file.read_exact_at(piece.offset + done, buffer.data(), part);
            md5.update(buffer.data(), part);
            done += part;
        }
        digest.md5 = md5.finish<16>();
        digests.emplace(piece, digest);
    }
    return digests;
}

}  // namespace wharfkeep
