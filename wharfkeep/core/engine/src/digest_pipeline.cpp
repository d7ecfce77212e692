#include "digest_pipeline.h"

#include <exception>

namespace wharfkeep {

DigestPipeline::DigestPipeline(std::string path) : path_(std::move(path)) {}

DigestPipeline::~DigestPipeline() {
    Stop();
}

void DigestPipeline::Stop() {
    {
        std::lock_guard lock(mutex_);
        closing_ = true;
    }
    changed_.notify_all();
    if (hasher_.joinable()) {
        hasher_.join();
    }
}

uint32_t DigestPipeline::OnOutputStart(uint64_t file_size) {
    Stop();
    queued_.clear();
    current_.clear();
    closing_ = false;
    error_.clear();
    digests_.emplace(path_, file_size, default_piece_lanes());
    hasher_ = std::thread([this] { HashQueuedBlocks(); });
    return 0;
}

void DigestPipeline::QueueCurrentBlock() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return queued_.size() < kQueuedBlocks; });
    queued_.push_back(std::move(current_));
    if (spare_.empty()) {
        current_ = {};
    } else {
        current_ = std::move(spare_.back());
        spare_.pop_back();
    }
    current_.clear();
    lock.unlock();
    changed_.notify_all();
}

uint32_t DigestPipeline::OnOutputBytes(const uint8_t* bytes, size_t length) {
    if (!hasher_.joinable()) {
        return 1;
    }
    while (length > 0) {
        if (current_.capacity() < kBlockSize) {
            current_.reserve(kBlockSize);
        }
        const std::size_t take = std::min(length, kBlockSize - current_.size());
        current_.insert(current_.end(), bytes, bytes + take);
        bytes += take;
        length -= take;
        if (current_.size() == kBlockSize) {
            QueueCurrentBlock();
        }
    }
    return 0;
}

void DigestPipeline::HashQueuedBlocks() {
    for (;;) {
        std::vector<std::uint8_t> block;
        {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [this] { return !queued_.empty() || closing_; });
            if (queued_.empty()) {
                return;
            }
            block = std::move(queued_.front());
            queued_.pop_front();
        }
        changed_.notify_all();
        // After a failure the blocks are still taken, so the feeding side never waits for
        // a stage that no longer hashes.
        if (digests_) {
            try {
                digests_->Append(block);
            } catch (const std::exception& error) {
                error_ = error.what();
                digests_.reset();
            }
        }
        std::lock_guard lock(mutex_);
        spare_.push_back(std::move(block));
    }
}

std::optional<parsefile> DigestPipeline::Finish(std::string* why_not) {
    if (!hasher_.joinable()) {
        if (why_not) {
            *why_not = "no bytes were handed to the digest stage";
        }
        return std::nullopt;
    }
    if (!current_.empty()) {
        QueueCurrentBlock();
    }
    Stop();
    std::optional<parsefile> media;
    if (digests_) {
        try {
            media = digests_->Finish();
        } catch (const std::exception& error) {
            error_ = error.what();
        }
    }
    digests_.reset();
    if (!media && why_not) {
        *why_not = error_;
    }
    return media;
}

}  // namespace wharfkeep
