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
// of the file fed in order from its first byte. The pieces are independent of one another,
// so with more than one lane they are hashed side by side: piece i on lane i % lanes, each
// lane a thread of its own fed copies of its pieces' bytes through a few buffers of
// kBodyPieceLength (the feeding thread waits while all are queued, so memory stays flat).
// With one lane the hashing happens inside Feed.
class PieceHasher {
public:
    PieceHasher(std::uint64_t header_length, std::uint64_t tail_offset, std::uint64_t file_size,
                unsigned lanes = 1);
    PieceHasher(PieceHasher&&) noexcept;
    PieceHasher& operator=(PieceHasher&&) noexcept;
    // Stops and joins the lanes, dropping whatever they had not hashed yet.
    ~PieceHasher();

    // The next bytes of the file. Raises CMyException for bytes past its end, and when a
    // lane could not hash.
    void Feed(std::span<const std::uint8_t> bytes);
    // Numbers the pieces in cutting order with the next piece sequence numbers, as
    // compute_piece_digests does. Raises CMyException when the file was not fed to its end.
    PieceDigestMap Finish();

private:
    struct Md5State;
    struct Lanes;
    void CloseFinishedPieces();

    std::vector<PieceRange> pieces_;
    std::size_t piece_ = 0;           // the piece being fed
    std::uint64_t in_piece_ = 0;      // bytes of it fed
    std::unique_ptr<Md5State> md5_;   // one lane: the current piece's state
    std::vector<Md5Digest> digests_;  // one lane: of the pieces closed so far
    std::unique_ptr<Lanes> lanes_;    // several lanes
};

// How many lanes a PieceHasher of a publication uses: one per processor, at most four.
unsigned default_piece_lanes();

}  // namespace wharfkeep
