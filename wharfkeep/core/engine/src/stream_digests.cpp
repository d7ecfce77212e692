#include "stream_digests.h"

#include <algorithm>
#include <cstring>

#include "wharfkeep/container/mp4_box.h"
#include "wharfkeep/my_exception.h"

namespace wharfkeep {
namespace {

constexpr std::size_t kLongestBoxHeader = 16;

bool has_mp4_magic(std::span<const std::uint8_t> bytes) {
    return bytes.size() >= 8 && (std::memcmp(bytes.data() + 4, "ftyp", 4) == 0 ||
                                 std::memcmp(bytes.data() + 4, "zqhd", 4) == 0);
}

}  // namespace

StreamDigests::StreamDigests(std::string path, std::uint64_t file_size, unsigned piece_lanes)
    : path_(std::move(path)),
      file_size_(file_size),
      piece_lanes_(piece_lanes),
      gcid_(gcid_ranges(file_size)),
      check_(check_digest_ranges(file_size)) {}

void StreamDigests::Append(std::span<const std::uint8_t> bytes) {
    if (bytes.size() > file_size_ - seen_) {
        throw CMyException("more bytes than the " + std::to_string(file_size_) + " of " + path_);
    }
    gcid_.Feed(seen_, bytes);
    check_.Feed(seen_, bytes);
    seen_ += bytes.size();
    if (pieces_) {
        pieces_->Feed(bytes);
        return;
    }
    prefix_.insert(prefix_.end(), bytes.begin(), bytes.end());
    if (PrefixDecidesLayout()) {
        ParseLayout();
    }
}

bool StreamDigests::PrefixDecidesLayout() const {
    const std::uint64_t whole_prefix = std::min<std::uint64_t>(file_size_, kMp4PrefixSize);
    if (prefix_.size() >= whole_prefix) {
        return true;
    }
    if (prefix_.size() < 8) {
        return false;
    }
    if (!has_mp4_magic(prefix_)) {
        return prefix_.size() >= std::min<std::uint64_t>(file_size_, kContainerProbeSize);
    }
    return Mp4PrefixDecidesLayout();
}

// Walks the top-level boxes as the layout parser does over the whole prefix. The parser
// takes the first ftyp, movie and media-data box, and stops at the first box that does not
// fit its prefix; once the walk here has found all three, or reached a box that the whole
// prefix would not hold either, more bytes cannot change the outcome.
bool StreamDigests::Mp4PrefixDecidesLayout() const {
    const std::uint64_t whole_prefix = std::min<std::uint64_t>(file_size_, kMp4PrefixSize);
    const std::uint64_t held = prefix_.size();
    bool ftyp = false, movie = false, media = false;
    std::uint64_t offset = 0;
    while (offset < held) {
        if (held - offset < kLongestBoxHeader && offset + kLongestBoxHeader <= whole_prefix) {
            return false;
        }
        auto box = read_mp4_box_header(prefix_, offset, held);
        if (!box) {
            return true;
        }
        const bool is_media = box->is("mdat") || box->is("zqdt");
        if (box->size_runs_to_end) {
            if (!is_media) {
                return false;
            }
            box->size = std::max<std::uint64_t>(file_size_ - box->offset, box->size);
        }
        // The media data counts whether or not it fits; only its header is needed.
        media = media || is_media;
        if (ftyp && movie && media) {
            return true;
        }
        if (box->end() > held) {
            return box->end() > whole_prefix;
        }
        ftyp = ftyp || box->is("ftyp");
        movie = movie || box->is("moov") || box->is("zqhd");
        if (ftyp && movie && media) {
            return true;
        }
        offset = box->end();
    }
    return false;
}

void StreamDigests::ParseLayout() {
    const PrefixReader held_prefix = [this](std::size_t n) {
        return std::vector<std::uint8_t>(prefix_.begin(),
                                         prefix_.begin() + std::min(n, prefix_.size()));
    };
    layout_ = ParseContainer(held_prefix, file_size_);
    pieces_.emplace(layout_.header_length, layout_.tail_offset, file_size_, piece_lanes_);
    pieces_->Feed(prefix_);
    std::vector<std::uint8_t>().swap(prefix_);
}

parsefile StreamDigests::Finish() {
    if (seen_ != file_size_) {
        throw CMyException(path_ + " ended after " + std::to_string(seen_) + " of its " +
                           std::to_string(file_size_) + " bytes");
    }
    if (!pieces_) {
        ParseLayout();
    }
    parsefile media;
    media.media_path = path_;
    media.gcid = gcid_.Finish();
    media.gcid_text = digest_to_hex(media.gcid);
    media.file_size = file_size_;
    media.check_digest = check_.Finish();
    media.layout = layout_;
    media.pieces = pieces_->Finish();
    media.combined_digest = combined_digest(media.gcid, media.check_digest, file_size_);
    return media;
}

}  // namespace wharfkeep
