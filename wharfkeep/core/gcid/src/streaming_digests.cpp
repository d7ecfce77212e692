#include "wharfkeep/gcid/streaming_digests.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>

#include "message_digest.h"
#include "wharfkeep/my_exception.h"

namespace wharfkeep {

namespace {

// The whole file up to `whole_file_limit`, else `length` bytes at each offset.
template <typename Offsets>
std::vector<ByteRange> sampled_ranges(std::uint64_t file_size, std::uint64_t whole_file_limit,
                                      const Offsets& offsets, std::uint64_t length) {
    if (file_size <= whole_file_limit) {
        return {{0, file_size}};
    }
    std::vector<ByteRange> ranges;
    for (const auto offset : offsets) {
        ranges.push_back({offset, length});
    }
    return ranges;
}

}  // namespace

std::vector<ByteRange> gcid_ranges(std::uint64_t file_size) {
    return sampled_ranges(file_size, kGcidWholeFileLimit, gcid_sample_offsets(file_size),
                          kGcidSampleLength);
}

std::vector<ByteRange> check_digest_ranges(std::uint64_t file_size) {
    return sampled_ranges(file_size, kCheckWholeFileLimit, check_sample_offsets(file_size),
                          kCheckSampleLength);
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

// The lanes' threads, their queues and the buffers that carry bytes to them. Everything but
// `current` (the feeding thread's) and `digests` (each element written by the one lane that
// hashes its piece, read after the lanes are joined) is guarded by `mutex`.
struct PieceHasher::Lanes {
    static constexpr std::size_t kBufferSize = kBodyPieceLength;
    // Two buffers queued per lane keep each lane busy while the feeder fills the next.
    static constexpr std::size_t kBuffersPerLane = 2;

    struct Task {
        std::size_t piece = 0;
        std::vector<std::uint8_t> bytes;
        bool last = false;  // the piece's digest is taken after these bytes
    };

    Lanes(unsigned count, std::size_t pieces)
        : queues(count), max_buffers(count * kBuffersPerLane + 1), digests(pieces) {
        try {
            for (unsigned lane = 0; lane < count; ++lane) {
                threads.emplace_back([this, lane] { Run(lane); });
            }
        } catch (...) {
            Stop(true);
            throw;
        }
    }
    ~Lanes() { Stop(true); }

    // Hands `current` to the lane of `piece`.
    void Submit(std::size_t piece, bool last) {
        {
            std::lock_guard lock(mutex);
            queues[piece % queues.size()].push_back(Task{piece, std::move(current), last});
        }
        changed.notify_all();
        current = {};
    }

    // A buffer for `current` when it has none, waiting while every buffer is queued.
    void EnsureBuffer() {
        if (current.capacity() != 0) {
            return;
        }
        std::unique_lock lock(mutex);
        changed.wait(lock, [this] { return !spare.empty() || allocated < max_buffers; });
        if (!spare.empty()) {
            current = std::move(spare.back());
            spare.pop_back();
            current.clear();
        } else {
            ++allocated;
            lock.unlock();
            current.reserve(kBufferSize);
        }
    }

    // Lets the lanes finish what is queued (or drop it, `abandon`) and joins them; the lane
    // failure, if any.
    std::string Stop(bool abandon) {
        {
            std::lock_guard lock(mutex);
            closing = true;
            abandoning = abandoning || abandon;
        }
        changed.notify_all();
        for (std::thread& thread : threads) {
            if (thread.joinable()) {
                thread.join();
            }
        }
        return error;
    }

    void Run(unsigned lane) {
        std::optional<detail::MessageDigest> md5;
        try {
            md5.emplace(detail::MessageDigest::md5());
        } catch (const std::exception& failure) {
            Fail(failure.what());
        }
        for (;;) {
            Task task;
            {
                std::unique_lock lock(mutex);
                changed.wait(lock, [&] { return !queues[lane].empty() || closing; });
                if (queues[lane].empty() || abandoning) {
                    return;
                }
                task = std::move(queues[lane].front());
                queues[lane].pop_front();
            }
            // After a failure the tasks are still taken, so the feeder never waits for
            // buffers that no lane gives back.
            if (md5) {
                try {
                    md5->update(task.bytes.data(), task.bytes.size());
                    if (task.last) {
                        digests[task.piece] = md5->finish<16>();
                    }
                } catch (const std::exception& failure) {
                    Fail(failure.what());
                    md5.reset();
                }
            }
            if (task.bytes.capacity() != 0) {
                std::lock_guard lock(mutex);
                spare.push_back(std::move(task.bytes));
            }
            changed.notify_all();
        }
    }

    void Fail(const std::string& text) {
        std::lock_guard lock(mutex);
        if (error.empty()) {
            error = text.empty() ? "piece digest failed" : text;
        }
    }

    bool Failed() {
        std::lock_guard lock(mutex);
        return !error.empty();
    }

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::deque<Task>> queues;
    std::vector<std::vector<std::uint8_t>> spare;
    std::size_t allocated = 0;
    const std::size_t max_buffers;
    bool closing = false;
    bool abandoning = false;
    std::string error;
    std::vector<std::uint8_t> current;
    std::vector<Md5Digest> digests;
    std::vector<std::thread> threads;
};

unsigned default_piece_lanes() {
    return std::clamp(std::thread::hardware_concurrency(), 1u, 4u);
}

PieceHasher::PieceHasher(std::uint64_t header_length, std::uint64_t tail_offset,
                         std::uint64_t file_size, unsigned lanes)
    : pieces_(plan_pieces(header_length, tail_offset, file_size)) {
    lanes = static_cast<unsigned>(std::min<std::size_t>(lanes, pieces_.size()));
    if (lanes > 1) {
        try {
            lanes_ = std::make_unique<Lanes>(lanes, pieces_.size());
            return;
        } catch (const std::system_error&) {
            // No threads to be had: the pieces are hashed here, one after the other.
        }
    }
    md5_ = std::make_unique<Md5State>();
    digests_.reserve(pieces_.size());
}

PieceHasher::PieceHasher(PieceHasher&&) noexcept = default;
PieceHasher& PieceHasher::operator=(PieceHasher&&) noexcept = default;
PieceHasher::~PieceHasher() = default;

void PieceHasher::CloseFinishedPieces() {
    while (piece_ < pieces_.size() && in_piece_ == pieces_[piece_].length) {
        if (lanes_) {
            lanes_->Submit(piece_, true);
        } else {
            digests_.push_back(md5_->md5.finish<16>());
        }
        ++piece_;
        in_piece_ = 0;
    }
}

void PieceHasher::Feed(std::span<const std::uint8_t> bytes) {
    if (lanes_ && lanes_->Failed()) {
        throw CMyException("piece digest failed: " + lanes_->Stop(true));
    }
    for (;;) {
        CloseFinishedPieces();
        if (bytes.empty()) {
            return;
        }
        if (piece_ == pieces_.size()) {
            throw CMyException("more bytes than the file's pieces hold");
        }
        const std::uint64_t left = pieces_[piece_].length - in_piece_;
        auto take = static_cast<std::size_t>(std::min<std::uint64_t>(left, bytes.size()));
        if (lanes_) {
            if (lanes_->current.size() == Lanes::kBufferSize) {
                lanes_->Submit(piece_, false);
            }
            lanes_->EnsureBuffer();
            std::vector<std::uint8_t>& current = lanes_->current;
            take = std::min(take, Lanes::kBufferSize - current.size());
            current.insert(current.end(), bytes.begin(), bytes.begin() + std::ptrdiff_t(take));
        } else {
            md5_->md5.update(bytes.data(), take);
        }
        in_piece_ += take;
        bytes = bytes.subspan(take);
    }
}

PieceDigestMap PieceHasher::Finish() {
    CloseFinishedPieces();
    if (piece_ != pieces_.size()) {
        throw CMyException("the file ended inside its piece at " +
                           std::to_string(pieces_[piece_].offset));
    }
    const std::vector<Md5Digest>* digests = &digests_;
    if (lanes_) {
        if (const std::string error = lanes_->Stop(false); !error.empty()) {
            throw CMyException("piece digest failed: " + error);
        }
        digests = &lanes_->digests;
    }
    PieceDigestMap map;
    for (std::size_t i = 0; i < pieces_.size(); ++i) {
        map.emplace(pieces_[i], PieceDigest{next_piece_sequence(), (*digests)[i]});
    }
    return map;
}

}  // namespace wharfkeep
