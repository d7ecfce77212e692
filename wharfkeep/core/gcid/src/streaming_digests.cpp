#include "wharfkeep/gcid/streaming_digests.h"

#include <algorithm>
#include <cstring>

#include "message_digest.h"
#include "wharfkeep/my_exception.h"

namespace wharfkeep {

std::vector<ByteRange> gcid_ranges(std::uint64_t file_size) {
    if (file_size <= kGcidWholeFileLimit) {
        return {{0, file_size}};
    }
    std::vector<ByteRange> ranges;
    for (const std::uint32_t offset : gcid_sample_offsets(file_size)) {
        ranges.push_back({offset, kGcidSampleLength});
    }
    return ranges;
}

std::vector<ByteRange> check_digest_ranges(std::uint64_t file_size) {
    if (file_size <= kCheckWholeFileLimit) {
        return {{0, file_size}};
    }
    std::vector<ByteRange> ranges;
    for (const std::uint64_t offset : check_sample_offsets(file_size)) {
        ranges.push_back({offset, kCheckSampleLength});
    }
    return ranges;
}

SampledSha1::SampledSha1(std::vector<ByteRange> ranges)
    : ranges_(std::move(ranges)), bytes_(ranges_.size()), fed_(ranges_.size(), 0) {
    for (std::size_t i = 0; i < ranges_.size(); ++i) {
        bytes_[i].resize(ranges_[i].length);
    }
}

void SampledSha1::Feed(std::uint64_t offset, std::span<const std::uint8_t> bytes) {
    const std::uint64_t end = offset + bytes.size();
    for (std::size_t i = 0; i < ranges_.size(); ++i) {
        const std::uint64_t from = std::max(offset, ranges_[i].offset);
        const std::uint64_t to = std::min(end, ranges_[i].offset + ranges_[i].length);
        if (from >= to) {
            continue;
        }
        std::memcpy(bytes_[i].data() + (from - ranges_[i].offset), bytes.data() + (from - offset),
                    static_cast<std::size_t>(to - from));
        fed_[i] += to - from;
    }
}

Sha1Digest SampledSha1::Finish() const {
    auto sha1 = detail::MessageDigest::sha1();
    for (std::size_t i = 0; i < ranges_.size(); ++i) {
        if (fed_[i] != ranges_[i].length) {
            throw CMyException("the file ended before byte " +
                               std::to_string(ranges_[i].offset + ranges_[i].length) +
                               " that its digest needs");
        }
        sha1.update(bytes_[i].data(), bytes_[i].size());
    }
    return sha1.finish<20>();
}

struct PieceHasher::Md5State {
    detail::MessageDigest md5 = detail::MessageDigest::md5();
};

PieceHasher::PieceHasher(std::uint64_t header_length, std::uint64_t tail_offset,
                         std::uint64_t file_size)
    : pieces_(plan_pieces(header_length, tail_offset, file_size)),
      md5_(std::make_unique<Md5State>()) {
    digests_.reserve(pieces_.size());
}

PieceHasher::PieceHasher(PieceHasher&&) noexcept = default;
PieceHasher& PieceHasher::operator=(PieceHasher&&) noexcept = default;
PieceHasher::~PieceHasher() = default;

void PieceHasher::CloseFinishedPieces() {
    while (digests_.size() < pieces_.size() && in_piece_ == pieces_[digests_.size()].length) {
        digests_.push_back(md5_->md5.finish<16>());
        in_piece_ = 0;
    }
}

void PieceHasher::Feed(std::span<const std::uint8_t> bytes) {
    for (;;) {
        CloseFinishedPieces();
        if (bytes.empty()) {
            return;
        }
        if (digests_.size() == pieces_.size()) {
            throw CMyException("more bytes than the file's pieces hold");
        }
        const std::uint64_t left = pieces_[digests_.size()].length - in_piece_;
        const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(left, bytes.size()));
        md5_->md5.update(bytes.data(), take);
        in_piece_ += take;
        bytes = bytes.subspan(take);
    }
}

PieceDigestMap PieceHasher::Finish() {
    CloseFinishedPieces();
    if (digests_.size() != pieces_.size()) {
        throw CMyException("the file ended inside its piece at " +
                           std::to_string(pieces_[digests_.size()].offset));
    }
    PieceDigestMap map;
    for (std::size_t i = 0; i < pieces_.size(); ++i) {
        map.emplace(pieces_[i], PieceDigest{next_piece_sequence(), digests_[i]});
    }
    return map;
}

}  // namespace wharfkeep
