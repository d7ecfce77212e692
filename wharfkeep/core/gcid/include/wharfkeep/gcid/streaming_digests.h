#pragma once
// The identifier and digests of a file computed from its bytes as they pass by, front to
// back, once: while a file is written or read for another purpose, with no second read.
// They equal what parsefileGCID, compute_check_digest and compute_piece_digests give for
// the same file.

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "wharfkeep/gcid/gcid.h"

namespace wharfkeep {

struct ByteRange {
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
};

// The ranges the GCID hashes, in hashing order: the whole file up to kGcidWholeFileLimit,
// else its five samples at gcid_sample_offsets.
std::vector<ByteRange> gcid_ranges(std::uint64_t file_size);
// The ranges the check digest hashes: the whole file up to kCheckWholeFileLimit, else its
// three samples at check_sample_offsets.
std::vector<ByteRange> check_digest_ranges(std::uint64_t file_size);

// SHA-1 over the concatenation of some ranges of a file (which may overlap), collected
// from the file's bytes wherever they pass.
class SampledSha1 {
public:
    explicit SampledSha1(std::vector<ByteRange> ranges);

    // The bytes of the file at `offset`, in any order; bytes outside the ranges are ignored.
    void Feed(std::uint64_t offset, std::span<const std::uint8_t> bytes);
    // Raises CMyException when some byte of a range was never fed (the file was shorter).
    Sha1Digest Finish() const;

private:
    std::vector<ByteRange> ranges_;
    std::vector<std::vector<std::uint8_t>> bytes_;  // one per range
    std::vector<std::uint64_t> fed_;                // bytes of each range seen so far
};

// MD5 of every piece of plan_pieces(header_length, tail_offset, file_size), from the bytes
// of the file fed in order from its first byte.
class PieceHasher {
public:
    PieceHasher(std::uint64_t header_length, std::uint64_t tail_offset, std::uint64_t file_size);
    PieceHasher(PieceHasher&&) noexcept;
    PieceHasher& operator=(PieceHasher&&) noexcept;
    ~PieceHasher();

    // The next bytes of the file. Raises CMyException for bytes past its end.
    void Feed(std::span<const std::uint8_t> bytes);
    // Numbers the pieces in cutting order with the next piece sequence numbers, as
    // compute_piece_digests does. Raises CMyException when the file was not fed to its end.
    PieceDigestMap Finish();

private:
    void CloseFinishedPieces();

    struct Md5State;
    std::vector<PieceRange> pieces_;
    std::vector<Md5Digest> digests_;  // of the pieces closed so far
    std::uint64_t in_piece_ = 0;      // bytes of the current piece fed
    std::unique_ptr<Md5State> md5_;
};

}  // namespace wharfkeep
