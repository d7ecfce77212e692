#pragma once
// Content identifier and content digests of a media file.
//
// - GCID: SHA-1 over the whole file when it is at most 100 KiB, else over five 20 KiB
//   samples. The sample offsets are computed in unsigned 32-bit arithmetic and wrap for
//   files above 1 GiB; every peer computes them that way, so they must not be "fixed".
// - Check digest: SHA-1 over the whole file up to 75 KiB, else over three 25 KiB samples
//   at thirds of the file (64-bit arithmetic).
// - Piece digests: one MD5 per piece (header, 2 MiB body pieces, tail), each numbered
//   with the process-wide piece sequence number.
// - Combined digest: MD5 over GCID bytes, check digest and the file size (little-endian).
//
// Every read is exact: a sample or piece that cannot be read in full raises CMyException.

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "wharfkeep/gcid/source_file.h"

namespace wharfkeep {

using Sha1Digest = std::array<std::uint8_t, 20>;
using Md5Digest = std::array<std::uint8_t, 16>;
using GcidBytes = Sha1Digest;

inline constexpr std::uint64_t kGcidWholeFileLimit = 102400;
inline constexpr std::size_t kGcidSampleLength = 20480;
inline constexpr std::size_t kGcidSampleCount = 5;
inline constexpr std::uint64_t kCheckWholeFileLimit = 76800;
inline constexpr std::size_t kCheckSampleLength = 25600;
inline constexpr std::size_t kCheckSampleCount = 3;
inline constexpr std::uint64_t kBodyPieceLength = 2097152;   // 2 MiB
inline constexpr std::size_t kPieceBufferLength = 10485760;  // 10 MiB

// "%02X" of each byte, in order.
std::string digest_to_hex(std::span<const std::uint8_t> bytes);

// GCID text to its bytes: at most 41 characters, lower case folded to upper case, each
// pair of hexadecimal digits one byte (first digit high). Any other character (or an odd
// digit at the end) stops the conversion with false; the bytes written so far stay.
bool gcid_text_to_bytes(std::string_view text, GcidBytes& bytes);

// Offsets of the five GCID samples of a file larger than kGcidWholeFileLimit:
// ((i * size) mod 2^32) / 5 in unsigned 32-bit arithmetic.
std::array<std::uint32_t, kGcidSampleCount> gcid_sample_offsets(std::uint64_t file_size);
// Offsets of the three check-digest samples of a file larger than kCheckWholeFileLimit.
std::array<std::uint64_t, kCheckSampleCount> check_sample_offsets(std::uint64_t file_size);

// Computes the GCID of one file. Raises CMyException when the file's size cannot be
// read, the file cannot be opened or a sample cannot be read in full.
class parsefileGCID {
public:
    explicit parsefileGCID(std::string path);

    // Opens the file, hashes it, closes it; returns the 40-digit upper-case text.
    const std::string& compute();

    const GcidBytes& digest() const { return digest_; }
    const std::string& text() const { return text_; }
    std::uint64_t file_size() const { return file_size_; }

private:
    SourceFile file_;
    std::uint64_t file_size_ = 0;
    GcidBytes digest_{};
    std::string text_;
};

// Check digest of an open file of `file_size` bytes.
Sha1Digest compute_check_digest(SourceFile& file, std::uint64_t file_size);

// One piece of a file. Pieces are ordered by offset, then by length; `reserved` is
// always 0 and only completes the key.
struct PieceRange {
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
    std::uint32_t reserved = 0;

    auto operator<=>(const PieceRange&) const = default;
};

struct PieceDigest {
    std::uint32_t sequence = 0;
    Md5Digest md5{};

    bool operator==(const PieceDigest&) const = default;
};

using PieceDigestMap = std::map<PieceRange, PieceDigest>;

// The pieces of a file cut at header length H and tail offset T, in cutting order:
// header [0, H), body pieces of 2 MiB from H while more than 2 MiB remain before T, one
// last body piece up to T, tail [T, S). Raises CMyException unless H <= T <= S.
std::vector<PieceRange> plan_pieces(std::uint64_t header_length, std::uint64_t tail_offset,
                                    std::uint64_t file_size);

// The next value of the process-wide piece sequence number (0 first, never reset).
std::uint32_t next_piece_sequence();

// MD5 of every piece of an open file; each piece takes the next sequence number in
// cutting order. Pieces larger than the 10 MiB work buffer are hashed in parts. When two
// pieces share a key (an empty header and an empty tail of an empty file) the first
// stays.
PieceDigestMap compute_piece_digests(SourceFile& file, std::uint64_t header_length,
                                     std::uint64_t tail_offset, std::uint64_t file_size);

// MD5 over the 20 GCID bytes, the 20 check-digest bytes and the 64-bit size, little-endian.
Md5Digest combined_digest(const GcidBytes& gcid, const Sha1Digest& check_digest,
                          std::uint64_t file_size);

}  // namespace wharfkeep
